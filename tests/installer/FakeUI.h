// A recording window back end: every call the flow makes on the view is
// kept, in order, as a line of text the tests can look for.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Application.h"
#include "platform/ui/Widgets.h"

namespace zeltest {

class FakeUI : public platform::UIBackend {
public:
    std::vector<std::string> events;
    std::vector<platform::AlertSpec> alerts;
    std::vector<double> progressValues;
    std::vector<std::string> details;  // the texts beside the bar, in order
    bool terminated = false;

    struct Text : platform::TextField {
        FakeUI* ui;
        std::string value;
        void setStringValue(const std::string& t) override { value = t; ui->events.push_back("status: " + t); }
        std::string stringValue() const override { return value; }
    } statusText;

    struct Progress : platform::ProgressIndicator {
        FakeUI* ui;
        bool indeterminate = false, animating = false, hidden = false;
        double value = 0;
        void setIndeterminate(bool f) override { indeterminate = f; ui->events.push_back(f ? "progress: indeterminate" : "progress: determinate"); }
        bool isIndeterminate() const override { return indeterminate; }
        void setUsesThreadedAnimation(bool) override {}
        void startAnimation() override { animating = true; ui->events.push_back("progress: start animation"); }
        void stopAnimation() override { animating = false; ui->events.push_back("progress: stop animation"); }
        bool isAnimating() const override { return animating; }
        void setDoubleValue(double v) override { value = v; ui->progressValues.push_back(v); }
        double doubleValue() const override { return value; }
        void updateLayer() override {}
        void setHidden(bool h) override { hidden = h; ui->events.push_back(h ? "progress: hidden" : "progress: shown"); }
        bool isHidden() const override { return hidden; }
        void setDetailText(const std::string& t) override { ui->details.push_back(t); }
    } progress;

    struct Image : platform::ImageView {
        FakeUI* ui;
        std::optional<std::string> path;
        void setImage(const std::optional<std::string>& p) override { path = p; ui->events.push_back("icon: " + p.value_or("(none)")); }
        std::optional<std::string> image() const override { return path; }
    } icon;

    struct QuitButton : platform::Button {
        FakeUI* ui;
        std::string titleText = "Quit";
        bool hidden = true;
        std::function<void()> action;
        void setTitle(const std::string& t) override { titleText = t; ui->events.push_back("quit: title " + t); }
        std::string title() const override { return titleText; }
        void setHidden(bool h) override { hidden = h; ui->events.push_back(h ? "quit: hidden" : "quit: shown"); }
        bool isHidden() const override { return hidden; }
        void setAction(std::function<void()> a) override { action = std::move(a); }
    } quitButton;

    // What runModalAlert answers; by default the alert's first button.
    std::function<long(const platform::AlertSpec&)> alertAnswer;

    FakeUI() {
        statusText.ui = this;
        progress.ui = this;
        icon.ui = this;
        quitButton.ui = this;
    }

    platform::WindowOutlets loadMainWindow() override { return {&statusText, &progress, &icon, &quitButton}; }
    long runModalAlert(const platform::AlertSpec& alert) override {
        alerts.push_back(alert);
        std::string buttons;
        for (const auto& b : alert.buttons) buttons += "[" + b + "]";
        events.push_back("alert: " + alert.messageText + " | " + alert.informativeText + " | " + buttons);
        if (alertAnswer) return alertAnswer(alert);
        return alert.legacyResponses ? platform::kAlertDefaultReturn : platform::kAlertFirstButtonReturn;
    }
    void activateIgnoringOtherApps(bool) override { events.push_back("activate"); }
    void requestUserAttention(int type) override { events.push_back("attention: " + std::to_string(type)); }
    void run() override {}
    void quit() override {}

    // Installs this back end on the shared application, recording terminate.
    void install() {
        auto& app = platform::Application::sharedApplication();
        app.setBackend(this);
        app.resetTerminatingForTesting();
        app.setTerminateHandler([this] { terminated = true; events.push_back("terminate"); });
    }

    size_t indexOf(const std::string& prefix, size_t from = 0) const {
        for (size_t i = from; i < events.size(); ++i)
            if (events[i].rfind(prefix, 0) == 0) return i;
        return std::string::npos;
    }
    bool has(const std::string& prefix) const { return indexOf(prefix) != std::string::npos; }
    size_t countOf(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& e : events) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    std::string dump() const {
        std::string out;
        for (const auto& e : events) out += "  " + e + "\n";
        return out;
    }
};

}  // namespace zeltest
