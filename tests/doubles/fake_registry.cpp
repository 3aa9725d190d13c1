#include "fake_registry.h"

namespace ordane::test {

class FakeRegistry::Key final : public RegistryKey {
  public:
    explicit Key(std::map<std::string, std::string>& values) : values_(values) {}

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
    void SetString(const std::string& name, const std::string& data) override {
        values_[name] = data;
    }
    void DeleteValue(const std::string& name) override { values_.erase(name); }

  private:
    std::map<std::string, std::string>& values_;
};

std::unique_ptr<RegistryKey> FakeRegistry::CreateKey(const std::string& path) {
    ++opens_;
    if (openFails_) {
        return nullptr;
    }
    return std::make_unique<Key>(keys_[path]);
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
