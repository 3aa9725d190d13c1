#include "fake_registry.h"

namespace ordane::test {

class FakeRegistry::Key final : public RegistryKey {
  public:
    Key(std::map<std::string, std::string>& values, bool readOnly)
        : values_(values), readOnly_(readOnly) {}

    std::optional<std::uint32_t> QueryValueSize(const std::string& name) override {
        auto it = values_.find(name);
        if (it == values_.end()) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(it->second.size());
    }
    std::optional<std::string> QueryValue(const std::string& name) override {
        auto it = values_.find(name);
        if (it == values_.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    bool SetString(const std::string& name, const std::string& data) override {
        if (readOnly_) {
            return false;
        }
        values_[name] = data;
        return true;
    }
    bool DeleteValue(const std::string& name) override {
        if (readOnly_) {
            return false;
        }
        values_.erase(name);
        return true;
    }

  private:
    std::map<std::string, std::string>& values_;
    bool readOnly_;
};

std::unique_ptr<RegistryKey> FakeRegistry::CreateKey(const std::string& path) {
    ++opens_;
    if (openFails_) {
        return nullptr;
    }
    return std::make_unique<Key>(keys_[path], writesRefused_);
}

void FakeRegistry::SetValue(const std::string& path, const std::string& name,
                            const std::string& data) {
    keys_[path][name] = data;
}

std::optional<std::string> FakeRegistry::Value(const std::string& path,
                                               const std::string& name) const {
    auto key = keys_.find(path);
    if (key == keys_.end()) {
        return std::nullopt;
    }
    auto value = key->second.find(name);
    if (value == key->second.end()) {
        return std::nullopt;
    }
    return value->second;
}

}  // namespace ordane::test
