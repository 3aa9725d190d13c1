// The card reader's security-module id is reported once per workstation: the registry flag
// "upload" under Software\CardReader remembers that the server accepted it. F9 reports again.
#pragma once

#include "common/registry.h"
#include "common/text.h"
#include "registration/http.h"
#include "log/diagnostic_log.h"

namespace ordane {

class RegistrationReport {
  public:
    RegistrationReport(Registry& registry, Http& http1, DiagnosticLog& log)
        : registry_(registry), http1_(http1), log_(log) {}
    RegistrationReport(const RegistrationReport&) = delete;
    RegistrationReport& operator=(const RegistrationReport&) = delete;

    // Reports id unless the flag says it was accepted before; sets the flag when accepted.
    void Uploaded(const Text& id);
    // One request; true when the server accepted the id.
    bool UploadInfo(const Text& id, LogWord trigger);

  private:
    Registry& registry_;
    Http& http1_;
    DiagnosticLog& log_;
};

}  // namespace ordane
