#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "app/scan_settings.h"
#include "bridge/bridge_settings.h"
#include "doubles/fake_codec.h"
#include "doubles/fake_port_probe.h"
#include "doubles/fake_profile.h"
#include "doubles/fake_registry.h"
#include "doubles/fake_settings_view.h"
#include "settings/fleet_profile.h"
#include "settings/frm_set.h"

namespace ordane::test {
namespace {

// The policy key as the program reads it: every value asked for is noted; "Enabled" is set so
// that the bridge reads the rest of its values from here.
class NotingPolicy final : public ProfileFile {
  public:
    bool Exists() override { return true; }
    bool Empty() override { return false; }
    std::string Read(const std::string& section, const std::string& key,
                     const std::string& defaultValue) override {
        read.insert(section + "\\" + key);
        return section == "BRIDGE" && key == "Enabled" ? "1" : defaultValue;
    }
    bool Write(const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    bool Remove(const std::string&, const std::string&) override { return false; }

    std::set<std::string> read;
};

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// "SECTION\Name" -> "REG_SZ" or "REG_DWORD", for every policy of the template: an enum of
// strings and a text are strings, a number, a boolean (1 or 0) and an enum of numbers DWORDs.
std::map<std::string, std::string> TemplateValues(const std::string& admx) {
    std::map<std::string, std::string> values;
    const std::regex policy(
        R"re(<policy [^>]*key="SOFTWARE\\Policies\\Ordane\\(\w+)"[\s\S]*?</policy>)re");
    const std::regex element(R"re(<(enum|decimal|boolean|text) id="\w+" valueName="(\w+)")re");
    for (std::sregex_iterator p(admx.begin(), admx.end(), policy), end; p != end; ++p) {
        const std::string body = p->str();
        std::smatch e;
        EXPECT_TRUE(std::regex_search(body, e, element)) << body;
        const std::string kind = e[1];
        const bool text =
            kind == "text" || (kind == "enum" && body.find("<string>") != std::string::npos);
        EXPECT_TRUE(
            values.emplace((*p)[1].str() + "\\" + e[2].str(), text ? "REG_SZ" : "REG_DWORD").second)
            << "two policies for " << e[2];
    }
    return values;
}

TEST(PolicyTemplateTest, TheTemplateHasOnePolicyOfTheRightTypeForEveryValueTheProgramReads) {
    NotingPolicy policy;
    FakeProfile file;
    for (const auto& [key, value] :
         std::map<std::string, std::string>{{"Scanner", "HHP"},
                                            {"Port", "1"},
                                            {"BaudRate", "3"},
                                            {"Bits", "3"},
                                            {"Parity", "0"},
                                            {"StopBits", "0"},
                                            {"AddEnter", "1"},
                                            {"UsePort2", "1"},
                                            {"UsePort1", "1"},
                                            {"Port2", "6"},
                                            {"CardReader", "\xBB\xAA\xD0\xF1"}}) {
        file.Set("BCINFO", key, value);
    }
    FleetProfile fleet(policy, file);
    FakePortProbe probe{{1, 6}};
    FakeRegistry registry;
    FakeCodec codec;
    FakeSettingsView view;
    FrmSet form{fleet, probe, registry, codec, view, u"C:\\Ordane", u"Ordane"};
    ASSERT_TRUE(form.ReadSetting());
    ReadScanSettings(policy, file);
    bridge::ReadBridgeSettings(policy, file, false);
    // How barcodes are typed: read by the typing options from this release on.
    policy.read.insert({"SCAN\\KeyMode", "SCAN\\GS"});

    const std::map<std::string, std::string> values =
        TemplateValues(FileText(ORDANE_POLICY_TEMPLATES "/Ordane.admx"));
    std::set<std::string> names;
    for (const auto& [name, type] : values) {
        names.insert(name);
    }
    EXPECT_EQ(names, policy.read);
    // Text the program takes as it stands; numbers it reads from a DWORD's decimal digits.
    const std::set<std::string> strings = {
        "BCINFO\\Scanner", "BCINFO\\CardReader", "SCAN\\Terminator", "SCAN\\Encoding",
        "SCAN\\KeyMode",   "SCAN\\GS",           "BRIDGE\\Origins"};
    for (const auto& [name, type] : values) {
        EXPECT_EQ(type, strings.count(name) ? "REG_SZ" : "REG_DWORD") << name;
    }
}

TEST(PolicyTemplateTest, BothLanguagesDefineEveryStringAndPresentationTheTemplateUses) {
    const std::string admx = FileText(ORDANE_POLICY_TEMPLATES "/Ordane.admx");
    for (const char* language : {"zh-CN", "en-US"}) {
        const std::string adml =
            FileText(std::string(ORDANE_POLICY_TEMPLATES "/") + language + "/Ordane.adml");
        const std::regex used(R"(\$\((string|presentation)\.(\w+)\))");
        for (std::sregex_iterator u(admx.begin(), admx.end(), used), end; u != end; ++u) {
            const std::string tag = (*u)[1] == "string" ? "<string id=\"" : "<presentation id=\"";
            EXPECT_NE(adml.find(tag + (*u)[2].str() + "\""), std::string::npos)
                << language << " lacks " << u->str();
        }
    }
}

}  // namespace
}  // namespace ordane::test
