// The GTK back end on a private Xvfb display: the window built from the
// interface file, the controls driven as the installer's flow drives them,
// the main queue inside the GLib loop, and modal alerts.
//
// GTK can be initialised once per process, so every test that needs a
// display lives in the one fixture below, which owns the display and the
// window.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Application.h"
#include "tests/support/TempDir.h"
#include "tests/support/Xvfb.h"

extern char** environ;

namespace platform::ui_internal {
std::string_view builtInMainWindowInterface();
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::AlertSpec;
using platform::AlertStyle;

const std::string kSourceResources = std::string(ZEL_SOURCE_DIR) + "/installer/resources";

TEST(MainWindowInterface, BuiltInCopyMatchesTheFile) {
    const std::string file = zeltest::readFile(kSourceResources + "/MainWindow.ui");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(platform::ui_internal::builtInMainWindowInterface(), file)
        << "the built-in interface must be the text of installer/resources/MainWindow.ui";
}

TEST(AppIcon, IsASmallSquarePng) {
    const std::string icon = zeltest::readFile(kSourceResources + "/AppIcon.png");
    ASSERT_GT(icon.size(), 24u);
    EXPECT_LT(icon.size(), 20u * 1024);
    EXPECT_EQ(icon.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    // IHDR: width and height, big-endian, at offsets 16 and 20.
    auto be32 = [&](size_t at) {
        return (unsigned(uint8_t(icon[at])) << 24) | (unsigned(uint8_t(icon[at + 1])) << 16) |
               (unsigned(uint8_t(icon[at + 2])) << 8) | unsigned(uint8_t(icon[at + 3]));
    };
    EXPECT_EQ(be32(16), 128u);
    EXPECT_EQ(be32(20), 128u);
}

using zeltest::findInPath;
using zeltest::Xvfb;

// Runs the GLib loop (and with it the main queue) until `done` or `limit`.
bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        while (g_main_context_iteration(nullptr, FALSE)) {
            if (done()) return true;
        }
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        g_usleep(2000);
    }
}
void iterateFor(std::chrono::milliseconds span) {
    iterateUntil([] { return false; }, span);
}

GtkWidget* findByName(GtkWidget* root, std::string_view name) {
    if (GTK_IS_BUILDABLE(root)) {
        const char* own = gtk_buildable_get_name(GTK_BUILDABLE(root));
        if (own && name == own) return root;
    }
    if (!GTK_IS_CONTAINER(root)) return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    GtkWidget* found = nullptr;
    for (GList* l = children; l && !found; l = l->next) found = findByName(GTK_WIDGET(l->data), name);
    g_list_free(children);
    return found;
}

std::vector<GtkWindow*> toplevelsNamed(std::string_view name) {
    std::vector<GtkWindow*> out;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (GTK_IS_BUILDABLE(w)) {
            const char* own = gtk_buildable_get_name(GTK_BUILDABLE(w));
            if (own && name == own) out.push_back(GTK_WINDOW(w));
        }
    }
    g_list_free(all);
    return out;
}

// The message dialog on screen, if any.
GtkMessageDialog* visibleMessageDialog() {
    GtkMessageDialog* found = nullptr;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
            found = GTK_MESSAGE_DIALOG(l->data);
        }
    }
    g_list_free(all);
    return found;
}

std::string stringProperty(gpointer object, const char* name) {
    gchar* value = nullptr;
    g_object_get(object, name, &value, nullptr);
    std::string out = value ? value : "";
    g_free(value);
    return out;
}

struct PixbufUnref {
    void operator()(GdkPixbuf* p) const { g_object_unref(p); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, PixbufUnref>;

// The pixels of `widget` as the X server shows them.
Pixbuf snapshot(GtkWidget* widget) {
    GtkWidget* top = gtk_widget_get_toplevel(widget);
    GdkWindow* window = gtk_widget_get_window(top);
    if (!window) return nullptr;
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, top, 0, 0, &x, &y);
    return Pixbuf(gdk_pixbuf_get_from_window(window, x, y, gtk_widget_get_allocated_width(widget),
                                             gtk_widget_get_allocated_height(widget)));
}

bool samePixels(GdkPixbuf* a, GdkPixbuf* b) {
    if (!a || !b) return false;
    const gsize size = gdk_pixbuf_get_byte_length(a);
    return size == gdk_pixbuf_get_byte_length(b) &&
           std::memcmp(gdk_pixbuf_read_pixels(a), gdk_pixbuf_read_pixels(b), size) == 0;
}

// Answers the next alert with `response` from a main-queue block, as a user
// would, after `inspect` has looked at the dialog. Retries briefly until the
// dialog is up.
struct AlertAnswer {
    gint response;
    std::function<void(GtkMessageDialog*)> inspect;
    bool answered = false;
    int attempts = 0;
};

void answerNextAlert(AlertAnswer& answer) {
    platform::DispatchQueue::main().async([&answer] {
        g_timeout_add(5, [](gpointer data) -> gboolean {
            auto& a = *static_cast<AlertAnswer*>(data);
            GtkMessageDialog* dialog = visibleMessageDialog();
            if (!dialog) return ++a.attempts < 1000 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
            if (a.inspect) a.inspect(dialog);
            a.answered = true;
            gtk_dialog_response(GTK_DIALOG(dialog), a.response);
            return G_SOURCE_REMOVE;
        }, &answer);
    });
}

class GtkWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string program = findInPath("Xvfb");
        if (program.empty()) {
            skipReason_ = new std::string("Xvfb is not installed (apt-get install xvfb); GTK tests skipped");
            return;
        }
        xvfb_ = new Xvfb(program);
        if (!xvfb_->error().empty()) {
            setupError_ = new std::string(xvfb_->error());
            return;
        }
        ::setenv("DISPLAY", xvfb_->display().c_str(), 1);
        ::setenv("GDK_BACKEND", "x11", 1);
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("NO_AT_BRIDGE", "1", 1);
        ::setenv("GSETTINGS_BACKEND", "memory", 1);

        // A bundle with the product's interface file and icon.
        bundle_ = new zeltest::TempDir();
        zeltest::writeFile(bundle_->file("Info.plist"),
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                           "<plist version=\"1.0\"><dict>\n"
                           "<key>CFBundleName</key><string>Demo Installer</string>\n"
                           "</dict></plist>\n");
        for (const char* name : {"MainWindow.ui", "AppIcon.png"}) {
            zeltest::writeFile(bundle_->file(std::string("Resources/") + name),
                               zeltest::readFile(kSourceResources + "/" + name));
        }
        platform::Bundle::setMainBundlePath(bundle_->path());

        static std::string arg0 = "test_ui";
        static char* args[] = {arg0.data(), nullptr};
        int argc = 1;
        char** argv = args;
        backend_ = platform::makeGtkBackend(&argc, &argv).release();
        if (!backend_) {
            setupError_ = new std::string("GTK cannot open display " + xvfb_->display());
            return;
        }
        outlets_ = backend_->loadMainWindow();
        const auto windows = toplevelsNamed("mainWindow");
        if (windows.size() != 1) {
            setupError_ = new std::string("expected one main window");
            return;
        }
        window_ = windows.front();
        platform::Application::sharedApplication().setBackend(backend_);
        backend_->showMainWindow();
        iterateUntil([] { return gtk_widget_get_mapped(GTK_WIDGET(window_)); });
        iterateFor(200ms);  // the first frame
    }

    static void TearDownTestSuite() {
        platform::Application::sharedApplication().setBackend(nullptr);
        delete backend_;
        backend_ = nullptr;
        window_ = nullptr;
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        platform::Bundle::setMainBundlePath(ZEL_BINARY_DIR);
        delete bundle_;
        delete xvfb_;
        delete skipReason_;
        delete setupError_;
        bundle_ = nullptr;
        xvfb_ = nullptr;
        skipReason_ = setupError_ = nullptr;
    }

    void SetUp() override {
        if (skipReason_) GTEST_SKIP() << *skipReason_;
        ASSERT_EQ(setupError_, nullptr) << *setupError_;
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override { platform::Application::sharedApplication().setTerminateHandler({}); }

    static GtkWidget* widget(std::string_view name) { return findByName(GTK_WIDGET(window_), name); }
    static GtkLabel* statusLabel() { return GTK_LABEL(widget("statusText")); }
    static GtkProgressBar* progressBar() { return GTK_PROGRESS_BAR(widget("progressView")); }
    static GtkButton* quitButton() { return GTK_BUTTON(widget("quitButton")); }

    static inline Xvfb* xvfb_ = nullptr;
    static inline zeltest::TempDir* bundle_ = nullptr;
    static inline platform::UIBackend* backend_ = nullptr;
    static inline GtkWindow* window_ = nullptr;
    static inline platform::WindowOutlets outlets_;
    static inline std::string* skipReason_ = nullptr;
    static inline std::string* setupError_ = nullptr;
};

TEST_F(GtkWindowTest, WindowComesFromTheInterfaceFile) {
    ASSERT_NE(outlets_.statusText, nullptr);
    ASSERT_NE(outlets_.progressView, nullptr);
    ASSERT_NE(outlets_.appIcon, nullptr);
    ASSERT_NE(outlets_.quitButton, nullptr);
    EXPECT_STREQ(gtk_window_get_title(window_), "Demo Installer");
    EXPECT_FALSE(gtk_window_get_resizable(window_));
    EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(window_)));
    EXPECT_NE(gtk_window_get_icon(window_), nullptr);

    EXPECT_EQ(outlets_.appIcon->image(), std::optional<std::string>(bundle_->file("Resources/AppIcon.png")));
    EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(widget("appIcon"))), GTK_IMAGE_PIXBUF);

    ASSERT_NE(statusLabel(), nullptr);
    EXPECT_EQ(gtk_label_get_ellipsize(statusLabel()), PANGO_ELLIPSIZE_END);
    ASSERT_NE(progressBar(), nullptr);
    EXPECT_FALSE(gtk_progress_bar_get_show_text(progressBar()));
    ASSERT_NE(quitButton(), nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(quitButton())));
    EXPECT_TRUE(outlets_.quitButton->isHidden());
    EXPECT_EQ(outlets_.quitButton->title(), "Quit");
    EXPECT_FALSE(outlets_.progressView->isHidden());
    EXPECT_EQ(outlets_.statusText->stringValue(), "");

    backend_->requestUserAttention(platform::kCriticalRequest);
    EXPECT_TRUE(gtk_window_get_urgency_hint(window_));

    // Loading again answers the same outlets.
    const auto again = backend_->loadMainWindow();
    EXPECT_EQ(again.statusText, outlets_.statusText);
    EXPECT_EQ(again.quitButton, outlets_.quitButton);
}

TEST_F(GtkWindowTest, ControlsShowWhatTheFlowSets) {
    outlets_.statusText->setStringValue("Downloading Demo Product - 1.0 <b>%s</b>");
    EXPECT_STREQ(gtk_label_get_text(statusLabel()), "Downloading Demo Product - 1.0 <b>%s</b>");
    EXPECT_EQ(outlets_.statusText->stringValue(), "Downloading Demo Product - 1.0 <b>%s</b>");

    outlets_.progressView->setDoubleValue(42);
    outlets_.progressView->updateLayer();
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(progressBar()), 0.42);
    EXPECT_DOUBLE_EQ(outlets_.progressView->doubleValue(), 42);

    int presses = 0;
    outlets_.quitButton->setAction([&] { ++presses; });
    outlets_.quitButton->setTitle("Quit_Installer");
    outlets_.quitButton->setHidden(false);
    EXPECT_FALSE(outlets_.quitButton->isHidden());
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(quitButton())));
    EXPECT_STREQ(gtk_button_get_label(quitButton()), "Quit_Installer");
    EXPECT_FALSE(gtk_button_get_use_underline(quitButton()));  // the title is shown as given

    iterateFor(300ms);
    // The window keeps its size with the button shown.
    EXPECT_EQ(gtk_widget_get_allocated_width(GTK_WIDGET(window_)), 420);
    EXPECT_EQ(gtk_widget_get_allocated_height(GTK_WIDGET(window_)), 180);

    const std::string dir = std::string(ZEL_BINARY_DIR) + "/artifacts";
    ::mkdir(dir.c_str(), 0755);
    const std::string shot = dir + "/ui-window.png";
    ::unlink(shot.c_str());
    Pixbuf pixels = snapshot(GTK_WIDGET(window_));
    ASSERT_TRUE(pixels);
    EXPECT_EQ(gdk_pixbuf_get_width(pixels.get()), 420);
    GError* error = nullptr;
    EXPECT_TRUE(gdk_pixbuf_save(pixels.get(), shot.c_str(), "png", &error, nullptr))
        << (error ? error->message : "");
    if (error) g_error_free(error);
    EXPECT_GT(zeltest::readFile(shot).size(), 0u);

    gtk_button_clicked(quitButton());
    EXPECT_EQ(presses, 1);

    // A long status is cut with an ellipsis rather than widening the window.
    outlets_.statusText->setStringValue(std::string(400, 'W'));
    iterateFor(200ms);
    EXPECT_EQ(gtk_widget_get_allocated_width(GTK_WIDGET(window_)), 420);

    outlets_.quitButton->setHidden(true);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(quitButton())));
    outlets_.progressView->setHidden(true);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(progressBar())));
    outlets_.progressView->setHidden(false);
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(progressBar())));

    outlets_.progressView->setDoubleValue(250);
    EXPECT_DOUBLE_EQ(outlets_.progressView->doubleValue(), 100);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(progressBar()), 1.0);
    outlets_.progressView->setDoubleValue(42);
}

TEST_F(GtkWindowTest, BusyAnimationMovesTheBar) {
    platform::ProgressIndicator& progress = *outlets_.progressView;
    outlets_.statusText->setStringValue("Preparing");
    progress.setDoubleValue(42);
    progress.setIndeterminate(true);
    progress.setUsesThreadedAnimation(true);
    progress.startAnimation();
    EXPECT_TRUE(progress.isIndeterminate());
    EXPECT_TRUE(progress.isAnimating());
    iterateFor(100ms);

    Pixbuf first = snapshot(GTK_WIDGET(progressBar()));
    ASSERT_TRUE(first);
    Pixbuf later;
    const bool moved = iterateUntil(
        [&] {
            later = snapshot(GTK_WIDGET(progressBar()));
            return later && !samePixels(first.get(), later.get());
        },
        5s);
    EXPECT_TRUE(moved) << "the busy bar did not move";

    // Stopped and determinate again: the bar shows the value it had.
    progress.stopAnimation();
    progress.setIndeterminate(false);
    EXPECT_FALSE(progress.isAnimating());
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(progressBar()), 0.42);
    iterateFor(150ms);
    Pixbuf still = snapshot(GTK_WIDGET(progressBar()));
    iterateFor(300ms);
    Pixbuf stillLater = snapshot(GTK_WIDGET(progressBar()));
    EXPECT_TRUE(samePixels(still.get(), stillLater.get())) << "the bar keeps moving after stopAnimation";
}

TEST_F(GtkWindowTest, MainQueueRunsInsideTheGLibLoop) {
    EXPECT_TRUE(platform::MainLoop::isMainThread());
    int ran = 0;
    platform::DispatchQueue::main().async([&] { ++ran; });
    std::thread other([&] { platform::DispatchQueue::main().async([&] { ++ran; }); });
    other.join();
    EXPECT_TRUE(iterateUntil([&] { return ran == 2; }));

    // run() returns once a block quits it.
    platform::DispatchQueue::main().async([] { GtkWindowTest::backend_->quit(); });
    backend_->run();
    // A quit() before run() is not lost.
    backend_->quit();
    backend_->run();
}

TEST_F(GtkWindowTest, AlertShowsItsTextAndAnswersTheButtonPressed) {
    struct Case {
        AlertStyle style;
        GtkMessageType type;
    };
    for (const Case& c : {Case{AlertStyle::Warning, GTK_MESSAGE_WARNING}, Case{AlertStyle::Informational, GTK_MESSAGE_INFO},
                          Case{AlertStyle::Critical, GTK_MESSAGE_ERROR}}) {
        SCOPED_TRACE(static_cast<int>(c.style));
        AlertSpec alert;
        alert.messageText = "Download failed %s%n";
        alert.informativeText = "Check the connection. 100%d";
        alert.buttons = {"Try_Again", "Quit"};
        alert.style = c.style;

        AlertAnswer answer{static_cast<gint>(platform::kAlertSecondButtonReturn), [&](GtkMessageDialog* dialog) {
                               EXPECT_EQ(stringProperty(dialog, "text"), "Download failed %s%n");
                               EXPECT_EQ(stringProperty(dialog, "secondary-text"), "Check the connection. 100%d");
                               GtkMessageType type{};
                               g_object_get(dialog, "message-type", &type, nullptr);
                               EXPECT_EQ(type, c.type);
                               EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), window_);
                               EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
                               auto* first = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1000);
                               auto* second = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), 1001);
                               ASSERT_TRUE(first && second);
                               EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(first)), "Try_Again");
                               EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(second)), "Quit");
                               EXPECT_FALSE(gtk_button_get_use_underline(GTK_BUTTON(first)));
                           }};
        answerNextAlert(answer);
        EXPECT_EQ(backend_->runModalAlert(alert), platform::kAlertSecondButtonReturn);
        EXPECT_TRUE(answer.answered);
        EXPECT_EQ(visibleMessageDialog(), nullptr);  // gone once answered
    }
}

TEST_F(GtkWindowTest, ClosingAnAlertAnswersItsFirstButton) {
    AlertSpec alert;
    alert.messageText = "Quit the installer?";
    alert.buttons = {"Continue", "Quit"};
    AlertAnswer escape{GTK_RESPONSE_DELETE_EVENT, nullptr};
    answerNextAlert(escape);
    EXPECT_EQ(backend_->runModalAlert(alert), platform::kAlertFirstButtonReturn);
    EXPECT_TRUE(escape.answered);

    alert.legacyResponses = true;
    AlertAnswer legacyFirst{static_cast<gint>(platform::kAlertFirstButtonReturn), nullptr};
    answerNextAlert(legacyFirst);
    EXPECT_EQ(backend_->runModalAlert(alert), platform::kAlertDefaultReturn);
    AlertAnswer legacyEscape{GTK_RESPONSE_DELETE_EVENT, nullptr};
    answerNextAlert(legacyEscape);
    EXPECT_EQ(backend_->runModalAlert(alert), platform::kAlertDefaultReturn);
}

TEST_F(GtkWindowTest, AlertRunFromAMainQueueBlockKeepsTheQueueRunning) {
    // The flow shows its alerts from main-queue blocks; blocks queued while
    // the alert is up must still run (the answering one among them).
    AlertSpec alert;
    alert.messageText = "Nested";
    alert.buttons = {"OK", "Cancel"};
    long response = 0;
    bool done = false;
    AlertAnswer answer{static_cast<gint>(platform::kAlertSecondButtonReturn), nullptr};
    platform::DispatchQueue::main().async([&] {
        answerNextAlert(answer);
        response = platform::Application::sharedApplication().runModalAlert(alert);
        done = true;
    });
    EXPECT_TRUE(iterateUntil([&] { return done; }, 10s));
    EXPECT_TRUE(answer.answered);
    EXPECT_EQ(response, platform::kAlertSecondButtonReturn);
}

TEST_F(GtkWindowTest, ClosingTheWindowTerminatesTheApplication) {
    int terminated = 0;
    platform::Application::sharedApplication().setTerminateHandler([&] { ++terminated; });
    gtk_window_close(window_);
    EXPECT_TRUE(iterateUntil([&] { return terminated == 1; }));
    EXPECT_TRUE(platform::Application::sharedApplication().isTerminating());
    EXPECT_EQ(toplevelsNamed("mainWindow").size(), 1u);  // still there until the back end goes

    // Without a handler, terminate ends the back end's loop.
    platform::Application::sharedApplication().setTerminateHandler({});
    platform::DispatchQueue::main().async([] { gtk_window_close(GtkWindowTest::window_); });
    backend_->run();
}

TEST_F(GtkWindowTest, BuiltInInterfaceWhenTheBundleHasNoUsableOne) {
    zeltest::TempDir empty, broken;
    // Parses, but lacks the quit button.
    zeltest::writeFile(broken.file("Resources/MainWindow.ui"),
                       "<interface><object class=\"GtkWindow\" id=\"mainWindow\"/></interface>");
    for (const zeltest::TempDir* dir : {&empty, &broken}) {
        platform::Bundle::setMainBundlePath(dir->path());
        auto backend = platform::makeGtkBackend(nullptr, nullptr);
        ASSERT_NE(backend, nullptr);
        const auto outlets = backend->loadMainWindow();
        EXPECT_TRUE(outlets.statusText && outlets.progressView && outlets.appIcon && outlets.quitButton);
        const auto windows = toplevelsNamed("mainWindow");
        ASSERT_EQ(windows.size(), 2u);  // the rejected window is gone
        GtkWindow* other = windows[0] == window_ ? windows[1] : windows[0];
        EXPECT_STREQ(gtk_window_get_title(other), "Installer");
        EXPECT_EQ(outlets.appIcon->image(), std::nullopt);
        EXPECT_FALSE(gtk_widget_get_visible(findByName(GTK_WIDGET(other), "quitButton")));
        backend.reset();
        EXPECT_EQ(toplevelsNamed("mainWindow").size(), 1u);  // destroyed with its back end
    }
    platform::Bundle::setMainBundlePath(bundle_->path());
}

}  // namespace
