#include "app/monitor.h"

namespace ordane {

Monitor::Monitor(const MonitorPlatform& p)
    : frmSet_(p.settingsFile, p.portProbe, p.registry, p.codec, p.settingsView, p.exeFolder,
              p.exeBaseName, p.log, p.autoStart),
      scanner_(inForce_.ScannerModel, p.scannerPort, p.symbol),
      scannerIdentification_(scanner_, p.pump, p.log),
      cardReaderIdentification_(inForce_.CardReaderModel, p.readerPort, p.pump, p.log),
      http1_(p.httpClient, p.codec, p.registrationServer),
      frmMain_(FrmMainDeps{
          .view = p.view,
          .tray = p.tray,
          .pump = p.pump,
          .timers = p.timers,
          .frmSet = frmSet_,
          .settings = inForce_,
          .settingsFile = p.settingsFile,
          .probe = p.portProbe,
          .scanner = scanner_,
          .scannerIdentification = scannerIdentification_,
          .cardReaderIdentification = cardReaderIdentification_,
          .sdtapi = p.sdtapi,
          .cardWorker = p.cardWorker,
          .delivery = p.delivery,
          .registry = p.registry,
          .Http1 = http1_,
          .codec = p.codec,
          .log = p.log,
          .readings = p.readings,
          .scan = p.scan,
          .typingWorker = p.typingWorker,
          .registrationWorker = p.registrationWorker,
      }) {}

}  // namespace ordane
