#include "fake_profile.h"

namespace ordane::test {

std::string FakeProfile::Read(const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
    const std::optional<std::string> value = Value(section, key);
    return value ? *value : defaultValue;
}

bool FakeProfile::Write(const std::string& section, const std::string& key,
                        const std::string& value) {
    writes_.push_back(Write_{section, key, value});
    if (writesLeft_ >= 0 && writesLeft_-- == 0) {
        return false;
    }
    if (!writable_) {
        return false;
    }
    Set(section, key, value);
    return true;
}

void FakeProfile::SetEmptyFile() {
    SetMissing();
    exists_ = true;
    empty_ = true;
}

void FakeProfile::Set(const std::string& section, const std::string& key,
                      const std::string& value) {
    exists_ = true;
    empty_ = false;
    sections_[section][key] = value;
}

void FakeProfile::SetEmptySection(const std::string& section) {
    exists_ = true;
    empty_ = false;
    sections_[section].clear();
}

bool FakeProfile::Remove(const std::string& section, const std::string& key) {
    if (!writable_) {
        return false;
    }
    auto it = sections_.find(section);
    if (it != sections_.end()) {
        it->second.erase(key);
    }
    return true;
}

void FakeProfile::SetMissing() {
    exists_ = false;
    sections_.clear();
}

std::optional<std::string> FakeProfile::Value(const std::string& section,
                                              const std::string& key) const {
    if (!exists_) {
        return std::nullopt;
    }
    auto it = sections_.find(section);
    if (it == sections_.end()) {
        return std::nullopt;
    }
    auto value = it->second.find(key);
    if (value == it->second.end()) {
        return std::nullopt;
    }
    return value->second;
}

}  // namespace ordane::test
