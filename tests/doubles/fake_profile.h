// "Setting.ini" in memory: sections of keys with ANSI byte values. Every write is recorded in
// order; the file can be absent (every read gives its default) or refuse writes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "settings/profile_file.h"

namespace ordane::test {

class FakeProfile final : public ProfileFile {
  public:
    struct Write_ {
        std::string section;
        std::string key;
        std::string value;
        bool operator==(const Write_&) const = default;
    };

    bool Exists() override { return exists_; }
    bool Empty() override { return exists_ && empty_; }
    std::string Read(const std::string& section, const std::string& key,
                     const std::string& defaultValue) override;
    bool Write(const std::string& section, const std::string& key,
               const std::string& value) override;
    // Also a helper that shapes the file; refused only while writes are.
    bool Remove(const std::string& section, const std::string& key) override;

    // Sets a key as if the file held it (the file then exists); not recorded as a write.
    void Set(const std::string& section, const std::string& key, const std::string& value);
    // A file that holds only this section's header.
    void SetEmptySection(const std::string& section);
    // No file at all.
    void SetMissing();
    // A file of zero bytes.
    void SetEmptyFile();
    // Writes are recorded but change nothing and are refused (a file that cannot be written).
    void SetWritable(bool writable) { writable_ = writable; }
    // The file takes this many more writes, then refuses one (another program held it open
    // for a moment) and takes writes again.
    void RefuseOnceAfter(int writes) { writesLeft_ = writes; }

    std::optional<std::string> Value(const std::string& section, const std::string& key) const;
    const std::vector<Write_>& Writes() const { return writes_; }
    void ClearWrites() { writes_.clear(); }

  private:
    bool exists_ = false;
    bool empty_ = false;
    bool writable_ = true;
    int writesLeft_ = -1;  // -1: no limit
    std::map<std::string, std::map<std::string, std::string>> sections_;
    std::vector<Write_> writes_;
};

}  // namespace ordane::test
