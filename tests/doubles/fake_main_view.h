// The main window and its tray icon as the logic sees them: label texts with their history,
// command states, visibility, each showing with its activation, beeps, the tray's balloons,
// and whether the program unloaded.
#pragma once

#include <map>
#include <vector>

#include "app/main_view.h"
#include "tray/tray_icon.h"

namespace ordane::test {

class FakeMainView final : public MainView, public TrayIcon {
  public:
    void SetLabelText(int label, const Text& text) override {
        labels[label] = text;
        history.push_back({label, text});
    }
    void SetCommandEnabled(int label, bool enabled) override { commandEnabled[label] = enabled; }
    void ShowWindow(Activation activation) override {
        visible = true;
        shows.push_back(activation);
    }
    void HideWindow() override { visible = false; }
    bool IsWindowVisible() override { return visible; }
    void Beep() override { ++beeps; }
    void UnloadAll() override { unloaded = true; }
    void* OwnerHandle() override { return this; }

    void AddTrayIcon() override { trayCalls.push_back("add"); }
    void SetTrayTip(const Text& tip) override {
        trayTip = tip;
        trayCalls.push_back("tip");
    }
    void RemoveTrayIcon() override { trayCalls.push_back("remove"); }
    bool IconPresent() override { return iconPresent; }
    void Notify(const Text& title, const Text& text) override {
        notifications.push_back({title, text});
        trayCalls.push_back("notify");
    }

    struct Notification {
        Text title;
        Text text;
        bool operator==(const Notification&) const = default;
    };

    Text Label(int label) const {
        auto it = labels.find(label);
        return it == labels.end() ? Text() : it->second;
    }
    // Whether the label ever showed this text.
    bool Showed(int label, const Text& text) const {
        for (const auto& [l, t] : history) {
            if (l == label && t == text) {
                return true;
            }
        }
        return false;
    }

    std::map<int, Text> labels;
    std::vector<std::pair<int, Text>> history;
    std::map<int, bool> commandEnabled;
    bool visible = true;
    std::vector<Activation> shows;
    int beeps = 0;
    bool unloaded = false;
    Text trayTip;
    bool iconPresent = true;
    std::vector<std::string> trayCalls;
    std::vector<Notification> notifications;
};

}  // namespace ordane::test
