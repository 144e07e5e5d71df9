// The controls of the installer window and the modal alert: stand in for
// NSTextField, NSProgressIndicator, NSButton, NSImageView and NSAlert.
// Each window back end (GTK, terminal, a test's recording fake) implements them.
// All calls are made on the main thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class TextField {
public:
    virtual ~TextField() = default;
    virtual void setStringValue(const std::string& text) = 0;
    virtual std::string stringValue() const = 0;
};

class ProgressIndicator {
public:
    virtual ~ProgressIndicator() = default;
    virtual void setIndeterminate(bool indeterminate) = 0;
    virtual bool isIndeterminate() const = 0;
    virtual void setUsesThreadedAnimation(bool threaded) = 0;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
    virtual bool isAnimating() const = 0;
    virtual void setDoubleValue(double value) = 0;  // 0 to 100
    virtual double doubleValue() const = 0;
    virtual void updateLayer() = 0;  // redraw now
    virtual void setHidden(bool hidden) = 0;
    virtual bool isHidden() const = 0;
    // A short text beside the bar ("1.2 MB/s, 0:42 left", "12.3 MB received");
    // shown where there is room for it (the terminal on a TTY, the bar's text).
    virtual void setDetailText(const std::string& text) { (void)text; }
};

class Button {
public:
    virtual ~Button() = default;
    virtual void setTitle(const std::string& title) = 0;
    virtual std::string title() const = 0;
    virtual void setHidden(bool hidden) = 0;
    virtual bool isHidden() const = 0;
    // The action run on the main thread when the button is pressed.
    virtual void setAction(std::function<void()> action) = 0;
};

class ImageView {
public:
    virtual ~ImageView() = default;
    // The image file to show, or nothing to show no image.
    virtual void setImage(const std::optional<std::string>& imagePath) = 0;
    virtual std::optional<std::string> image() const = 0;
};

// NSAlertStyle.
enum class AlertStyle { Warning = 0, Informational = 1, Critical = 2 };

// NSModalResponse values.
inline constexpr long kAlertFirstButtonReturn = 1000;   // NSAlertFirstButtonReturn
inline constexpr long kAlertSecondButtonReturn = 1001;
inline constexpr long kAlertDefaultReturn = 1;           // legacy factory's default button

// NSRequestUserAttentionType.
inline constexpr int kCriticalRequest = 0;
inline constexpr int kInformationalRequest = 10;

struct AlertSpec {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // first is the default
    AlertStyle style = AlertStyle::Warning;
    // Made by the legacy factory (alertWithMessageText:...): its default
    // button answers kAlertDefaultReturn instead of kAlertFirstButtonReturn.
    bool legacyResponses = false;

    // The response the button at `index` answers: kAlertFirstButtonReturn + index,
    // or kAlertDefaultReturn for the default button of a legacy alert.
    long responseForButton(size_t index) const noexcept {
        return legacyResponses && index == 0 ? kAlertDefaultReturn
                                             : kAlertFirstButtonReturn + static_cast<long>(index);
    }
};

// NSAlert: fill it in, then runModal() shows it on the application's back
// end and answers the button pressed.
class Alert {
public:
    // alertWithMessageText:defaultButton:alternateButton:otherButton:informativeTextWithFormat:
    // with the informative text already formatted; empty button titles mean no such button.
    static Alert legacyAlert(const std::string& messageText, const std::string& defaultButton,
                             const std::string& alternateButton, const std::string& otherButton,
                             const std::string& informativeText);

    void setMessageText(std::string text) { contents_.messageText = std::move(text); }
    void setInformativeText(std::string text) { contents_.informativeText = std::move(text); }
    void addButtonWithTitle(std::string title) { contents_.buttons.push_back(std::move(title)); }
    void setAlertStyle(AlertStyle style) { contents_.style = style; }
    const AlertSpec& contents() const noexcept { return contents_; }

    long runModal();

private:
    AlertSpec contents_;
};

}  // namespace platform
