// The card reader's security-module id is reported once per workstation: the registry flag
// "upload" under Software\CardReader remembers that the server accepted it. F9 reports again.
//
// The request runs on a worker of its own: a server or proxy that does not answer holds it up
// to its 10 s deadline, and the window must answer meanwhile. Its outcome is taken when the
// worker says it returned.
#pragma once

#include <optional>

#include "common/registry.h"
#include "common/text.h"
#include "common/worker.h"
#include "registration/http.h"
#include "log/diagnostic_log.h"

namespace ordane {

class RegistrationReport {
  public:
    // worker: where the request runs; without one it runs where it is asked for.
    RegistrationReport(Registry& registry, Http& http1, DiagnosticLog& log,
                       Worker* worker = nullptr)
        : registry_(registry), http1_(http1), log_(log), worker_(worker) {}
    RegistrationReport(const RegistrationReport&) = delete;
    RegistrationReport& operator=(const RegistrationReport&) = delete;

    // Reports id unless the flag says it was accepted before; the flag is set once accepted.
    void Uploaded(const Text& id);
    // Sends one request; false when none was sent now (no id, or one still under way: then it
    // is sent once that one returned, so a clerk's F9 is never lost). Its outcome is logged
    // when it comes.
    bool UploadInfo(const Text& id, LogWord trigger);
    // The request returned: its outcome is logged, and the flag set for an accepted report.
    void Collect();

  private:
    bool Send(const Text& id, LogWord trigger, bool setFlag);

    Registry& registry_;
    Http& http1_;
    DiagnosticLog& log_;
    Worker* worker_;
    bool pending_ = false;
    bool setFlag_ = false;  // the request under way is the start-up report
    struct Again {
        Text id;
        LogWord trigger;
    };
    std::optional<Again> again_;  // asked for while one was under way
};

}  // namespace ordane
