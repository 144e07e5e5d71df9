// The GTK 3 window back end: stands in for AppKit's window, controls, NSAlert
// panels and the application's event loop.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Application.h"

namespace platform {
namespace ui_internal {
std::string_view builtInMainWindowInterface();
}

namespace {

constexpr int kIconSize = 96;
constexpr guint kPulseIntervalMs = 100;

// An owned reference to a GObject.
template <typename T>
class GRef {
public:
    GRef() = default;
    // Takes a new reference, or adopts the caller's reference when `adopt`.
    explicit GRef(T* object, bool adopt = false) : p_(object) {
        if (p_ && !adopt) g_object_ref(p_);
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    GRef& operator=(GRef&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~GRef() { reset(); }
    void reset() {
        if (p_) g_object_unref(std::exchange(p_, nullptr));
    }
    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// A GLib source attached to the default context, removed when this goes away.
class SourceHandle {
public:
    SourceHandle() = default;
    SourceHandle(const SourceHandle&) = delete;
    SourceHandle& operator=(const SourceHandle&) = delete;
    ~SourceHandle() { reset(); }
    void reset() {
        if (id_ != 0) g_source_remove(std::exchange(id_, 0u));
    }
    void set(guint id) {
        reset();
        id_ = id;
    }
    bool active() const noexcept { return id_ != 0; }

private:
    guint id_ = 0;
};

// A signal connection that is undone when this goes away (the instance is
// kept alive by the owner's GRef, declared before this).
class SignalConnection {
public:
    SignalConnection() = default;
    SignalConnection(const SignalConnection&) = delete;
    SignalConnection& operator=(const SignalConnection&) = delete;
    ~SignalConnection() { reset(); }
    void connect(gpointer instance, const char* signal, GCallback callback, gpointer data) {
        reset();
        instance_ = instance;
        id_ = g_signal_connect(instance, signal, callback, data);
    }
    void reset() {
        if (instance_ && id_ != 0) g_signal_handler_disconnect(instance_, id_);
        instance_ = nullptr;
        id_ = 0;
    }

private:
    gpointer instance_ = nullptr;
    gulong id_ = 0;
};

struct GErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

class GtkTextFieldView final : public TextField {
public:
    explicit GtkTextFieldView(GtkLabel* label) : label_(label) {
        const char* text = gtk_label_get_text(label);
        text_ = text ? text : "";
    }
    void setStringValue(const std::string& text) override {
        text_ = text;
        gtk_label_set_text(label_.get(), text_.c_str());  // plain text, never markup
    }
    std::string stringValue() const override { return text_; }

private:
    GRef<GtkLabel> label_;
    std::string text_;
};

class GtkProgressView final : public ProgressIndicator {
public:
    explicit GtkProgressView(GtkProgressBar* bar) : bar_(bar) {
        hidden_ = !gtk_widget_get_visible(GTK_WIDGET(bar));
        gtk_progress_bar_set_fraction(bar_.get(), 0.0);
    }
    ~GtkProgressView() override { pulse_.reset(); }

    void setIndeterminate(bool indeterminate) override {
        if (indeterminate == indeterminate_) return;
        indeterminate_ = indeterminate;
        if (!indeterminate_) gtk_progress_bar_set_fraction(bar_.get(), value_ / 100.0);
        updatePulse();
    }
    bool isIndeterminate() const override { return indeterminate_; }
    // GTK draws on the main thread only; the pulse timer already keeps the
    // animation going while the loop runs.
    void setUsesThreadedAnimation(bool threaded) override { threaded_ = threaded; }
    void startAnimation() override {
        animating_ = true;
        updatePulse();
    }
    void stopAnimation() override {
        animating_ = false;
        updatePulse();
    }
    bool isAnimating() const override { return animating_; }
    void setDoubleValue(double value) override {
        value_ = std::isfinite(value) ? std::clamp(value, 0.0, 100.0) : 0.0;  // an unknown length gives no meaningful value
        if (!indeterminate_) gtk_progress_bar_set_fraction(bar_.get(), value_ / 100.0);
    }
    double doubleValue() const override { return value_; }
    void updateLayer() override { gtk_widget_queue_draw(GTK_WIDGET(bar_.get())); }
    void setHidden(bool hidden) override {
        hidden_ = hidden;
        gtk_widget_set_visible(GTK_WIDGET(bar_.get()), !hidden);
    }
    bool isHidden() const override { return hidden_; }
    void setDetailText(const std::string& text) override {
        gtk_progress_bar_set_text(bar_.get(), text.empty() ? nullptr : text.c_str());
        gtk_progress_bar_set_show_text(bar_.get(), !text.empty());
    }

private:
    // The busy animation runs only while indeterminate and animating.
    void updatePulse() {
        const bool wanted = indeterminate_ && animating_;
        if (wanted == pulse_.active()) return;
        if (!wanted) {
            pulse_.reset();
            return;
        }
        gtk_progress_bar_pulse(bar_.get());
        pulse_.set(g_timeout_add(kPulseIntervalMs, &GtkProgressView::onPulse, this));
    }
    static gboolean onPulse(gpointer data) {
        gtk_progress_bar_pulse(static_cast<GtkProgressView*>(data)->bar_.get());
        return G_SOURCE_CONTINUE;
    }

    GRef<GtkProgressBar> bar_;
    SourceHandle pulse_;
    bool indeterminate_ = false;
    bool animating_ = false;
    bool threaded_ = false;
    bool hidden_ = false;
    double value_ = 0;
};

class GtkButtonView final : public Button {
public:
    explicit GtkButtonView(GtkButton* button) : button_(button) {
        const char* label = gtk_button_get_label(button);
        title_ = label ? label : "";
        hidden_ = !gtk_widget_get_visible(GTK_WIDGET(button));
        clicked_.connect(button_.get(), "clicked", G_CALLBACK(&GtkButtonView::onClicked), this);
    }
    void setTitle(const std::string& title) override {
        title_ = title;
        gtk_button_set_use_underline(button_.get(), FALSE);  // titles are literal text
        gtk_button_set_label(button_.get(), title_.c_str());
    }
    std::string title() const override { return title_; }
    void setHidden(bool hidden) override {
        hidden_ = hidden;
        gtk_widget_set_visible(GTK_WIDGET(button_.get()), !hidden);
        if (!hidden) gtk_widget_grab_focus(GTK_WIDGET(button_.get()));
    }
    bool isHidden() const override { return hidden_; }
    void setAction(std::function<void()> action) override { action_ = std::move(action); }

private:
    static void onClicked(GtkButton*, gpointer data) {
        // A copy: the action may replace itself.
        auto action = static_cast<GtkButtonView*>(data)->action_;
        if (action) action();
    }

    GRef<GtkButton> button_;
    SignalConnection clicked_;
    std::string title_;
    bool hidden_ = true;
    std::function<void()> action_;
};

class GtkImageViewImpl final : public ImageView {
public:
    explicit GtkImageViewImpl(GtkImage* image) : image_(image) {}
    void setImage(const std::optional<std::string>& imagePath) override {
        path_ = imagePath;
        if (!path_) {
            gtk_image_clear(image_.get());
            return;
        }
        GError* raw = nullptr;
        GRef<GdkPixbuf> pixbuf(
            gdk_pixbuf_new_from_file_at_scale(path_->c_str(), kIconSize, kIconSize, TRUE, &raw), true);
        ErrorPtr error(raw);
        if (!pixbuf) {
            logFormat("Cannot load the image %s: %s", path_->c_str(), error ? error->message : "unknown error");
            gtk_image_clear(image_.get());
            return;
        }
        gtk_image_set_from_pixbuf(image_.get(), pixbuf.get());
    }
    std::optional<std::string> image() const override { return path_; }

private:
    GRef<GtkImage> image_;
    std::optional<std::string> path_;
};

GtkMessageType messageTypeFor(AlertStyle style) {
    switch (style) {
        case AlertStyle::Informational: return GTK_MESSAGE_INFO;
        case AlertStyle::Critical: return GTK_MESSAGE_ERROR;
        case AlertStyle::Warning: break;
    }
    return GTK_MESSAGE_WARNING;
}

std::string windowTitle() {
    Value name = Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleName");
    if (name.isString() && !name.stringValue().empty()) return name.stringValue();
    return "Installer";
}

template <typename T>
T* builderObject(GtkBuilder* builder, const char* name, GType type) {
    GObject* object = gtk_builder_get_object(builder, name);
    if (!object || !G_TYPE_CHECK_INSTANCE_TYPE(object, type)) return nullptr;
    return reinterpret_cast<T*>(object);
}

class GtkBackend final : public UIBackend {
public:
    GtkBackend() : loop_(g_main_loop_new(nullptr, FALSE)) {}
    ~GtkBackend() override {
        // Controls first (they hold references into the window), then the window.
        statusText_.reset();
        progressView_.reset();
        appIcon_.reset();
        quitButton_.reset();
        deleteEvent_.reset();
        if (window_) gtk_widget_destroy(GTK_WIDGET(window_.get()));
        window_.reset();
        builder_.reset();
    }

    WindowOutlets loadMainWindow() override {
        if (!window_) {
            if (auto path = Bundle::mainBundle().pathForResource("MainWindow", "ui")) {
                if (!build(loadFile(*path))) logFormat("The interface file %s is unusable; using the built-in one", path->c_str());
            }
            if (!window_) {
                const std::string_view text = ui_internal::builtInMainWindowInterface();
                GRef<GtkBuilder> builder(gtk_builder_new(), true);
                GError* raw = nullptr;
                if (!gtk_builder_add_from_string(builder.get(), text.data(), static_cast<gssize>(text.size()), &raw)) {
                    ErrorPtr error(raw);
                    logFormat("The built-in interface does not load: %s", error ? error->message : "unknown error");
                    return {};
                }
                if (!build(std::move(builder))) return {};
            }
        }
        return {statusText_.get(), progressView_.get(), appIcon_.get(), quitButton_.get()};
    }

    void showMainWindow() override {
        if (window_) gtk_widget_show(GTK_WIDGET(window_.get()));
    }

    long runModalAlert(const AlertSpec& alert) override {
        if (!MainLoop::isMainThread()) {
            long response = 0;
            DispatchQueue::main().sync([&] { response = runModalAlert(alert); });
            return response;
        }
        std::vector<std::string> buttons = alert.buttons;
        if (buttons.empty()) buttons.push_back("OK");

        GtkWidget* dialog = gtk_message_dialog_new(window_.get(), static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                                   messageTypeFor(alert.style), GTK_BUTTONS_NONE, "%s",
                                                   alert.messageText.c_str());
        if (!alert.informativeText.empty()) {
            gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.informativeText.c_str());
        }
        gtk_window_set_title(GTK_WINDOW(dialog), windowTitle().c_str());
        // The default button sits at the trailing edge, as on the original platform.
        for (size_t i = buttons.size(); i-- > 0;) {
            GtkWidget* button = gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), responseId(i));
            gtk_button_set_use_underline(GTK_BUTTON(button), FALSE);
        }
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), responseId(0));
        if (GtkWidget* first = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), responseId(0))) {
            gtk_widget_grab_focus(first);
        }

        const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
        gtk_widget_destroy(dialog);

        // Escape, the close box or a destroyed dialog answer the first button:
        // an alert has no other way out.
        size_t index = 0;
        if (response >= responseId(0) && response < responseId(buttons.size())) {
            index = static_cast<size_t>(response - responseId(0));
        }
        return alert.responseForButton(index);
    }

    void activateIgnoringOtherApps(bool) override {
        if (window_) gtk_window_present(window_.get());
    }
    void requestUserAttention(int) override {
        if (window_) gtk_window_set_urgency_hint(window_.get(), TRUE);
    }

    void run() override {
        // A quit() before the loop runs (say, from the window-loaded hook)
        // still ends it.
        if (quitRequested_.exchange(false)) return;
        g_main_loop_run(loop_.get());
    }
    void quit() override {
        if (g_main_loop_is_running(loop_.get())) {
            g_main_loop_quit(loop_.get());
        } else {
            quitRequested_ = true;
        }
    }

private:
    struct MainLoopUnref {
        void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
    };
    using GMainLoopRef = std::unique_ptr<GMainLoop, MainLoopUnref>;

    static gint responseId(size_t index) { return static_cast<gint>(kAlertFirstButtonReturn + static_cast<long>(index)); }

    static GRef<GtkBuilder> loadFile(const std::string& path) {
        GRef<GtkBuilder> builder(gtk_builder_new(), true);
        GError* raw = nullptr;
        if (!gtk_builder_add_from_file(builder.get(), path.c_str(), &raw)) {
            ErrorPtr error(raw);
            logFormat("Cannot load %s: %s", path.c_str(), error ? error->message : "unknown error");
            return {};
        }
        return builder;
    }

    // Takes the outlets from a loaded interface; false when one is missing.
    bool build(GRef<GtkBuilder> builder) {
        if (!builder) return false;
        GtkBuilder* b = builder.get();
        auto* window = builderObject<GtkWindow>(b, "mainWindow", GTK_TYPE_WINDOW);
        auto* status = builderObject<GtkLabel>(b, "statusText", GTK_TYPE_LABEL);
        auto* progress = builderObject<GtkProgressBar>(b, "progressView", GTK_TYPE_PROGRESS_BAR);
        auto* icon = builderObject<GtkImage>(b, "appIcon", GTK_TYPE_IMAGE);
        auto* quit = builderObject<GtkButton>(b, "quitButton", GTK_TYPE_BUTTON);
        if (!window || !status || !progress || !icon || !quit) {
            if (window) gtk_widget_destroy(GTK_WIDGET(window));
            return false;
        }
        builder_ = std::move(builder);
        window_ = GRef<GtkWindow>(window);
        statusText_ = std::make_unique<GtkTextFieldView>(status);
        progressView_ = std::make_unique<GtkProgressView>(progress);
        appIcon_ = std::make_unique<GtkImageViewImpl>(icon);
        quitButton_ = std::make_unique<GtkButtonView>(quit);

        gtk_window_set_title(window, windowTitle().c_str());
        deleteEvent_.connect(window, "delete-event", G_CALLBACK(&GtkBackend::onDeleteEvent), this);
        if (auto iconPath = Bundle::mainBundle().pathForImageResource("AppIcon")) {
            appIcon_->setImage(*iconPath);
            GError* raw = nullptr;
            gtk_window_set_icon_from_file(window, iconPath->c_str(), &raw);
            ErrorPtr error(raw);  // the image view has logged an unreadable icon already
        }
        return true;
    }

    // Closing the window ends the application; the window itself stays until
    // the back end goes away.
    static gboolean onDeleteEvent(GtkWidget*, GdkEvent*, gpointer) {
        Application::sharedApplication().terminate();
        return TRUE;
    }

    GRef<GtkBuilder> builder_;
    GRef<GtkWindow> window_;
    SignalConnection deleteEvent_;
    std::unique_ptr<GtkTextFieldView> statusText_;
    std::unique_ptr<GtkProgressView> progressView_;
    std::unique_ptr<GtkImageViewImpl> appIcon_;
    std::unique_ptr<GtkButtonView> quitButton_;
    GMainLoopRef loop_;
    std::atomic<bool> quitRequested_{false};
};

gboolean drainMainQueue(gpointer) {
    MainLoop::drainPending();
    return G_SOURCE_CONTINUE;
}

}  // namespace

void attachMainQueueToGLib() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The source lives as long as the process, like the main queue.
        GSource* source = g_unix_fd_source_new(MainLoop::wakeDescriptor(), G_IO_IN);
        g_source_set_callback(source, &drainMainQueue, nullptr, nullptr);
        // Blocks must keep running inside nested loops (modal dialogs) that a
        // block itself started.
        g_source_set_can_recurse(source, TRUE);
        g_source_set_name(source, "main dispatch queue");
        g_source_attach(source, nullptr);
        g_source_unref(source);
    });
    MainLoop::adoptCurrentThreadAsMain();
}

std::unique_ptr<UIBackend> makeGtkBackend(int* argc, char*** argv) {
    if (!gtk_init_check(argc, argv)) return nullptr;
    attachMainQueueToGLib();
    return std::make_unique<GtkBackend>();
}

}  // namespace platform
