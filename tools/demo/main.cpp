// demo-product: the small application the demo package installs. It tells
// the tests that it ran (ZEL_DEMO_MARKER) and, with ZEL_DEMO_STAY=1, stays
// until it is asked to quit, so the installer's handling of running copies
// can be watched.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <string>
#include <unistd.h>

namespace {

const char* const kMessage = "Demo Product is installed and running.";

// One write with O_APPEND, so lines from several copies never interleave.
void appendMarker(const std::string& line) {
    const char* path = std::getenv("ZEL_DEMO_MARKER");
    if (!path || !*path) return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written;
    do {
        written = write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    close(fd);
}

int stayUntilTerminated(const sigset_t& waitFor) {
    int signal = 0;
    while (sigwait(&waitFor, &signal) != 0) {
    }
    appendMarker("terminated " + std::to_string(getpid()) + "\n");
    return 0;
}

int showWindow(int argc, char** argv) {
    if (!gtk_init_check(&argc, &argv)) {
        std::puts(kMessage);
        return 0;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Demo Product");
    gtk_window_set_default_size(GTK_WINDOW(window), 360, 120);
    GtkWidget* label = gtk_label_new(kMessage);
    gtk_container_add(GTK_CONTAINER(window), label);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* stay = std::getenv("ZEL_DEMO_STAY");
    const bool stayRunning = stay && std::strcmp(stay, "1") == 0;
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    // Blocked before the marker is written: whoever reads the marker may
    // send SIGTERM at once, and it must not kill us before we record it.
    if (stayRunning) sigprocmask(SIG_BLOCK, &terminate, nullptr);

    appendMarker("launched " + std::to_string(getpid()) + "\n");
    if (stayRunning) return stayUntilTerminated(terminate);

    const char* display = std::getenv("DISPLAY");
    if (display && *display) return showWindow(argc, argv);
    std::puts(kMessage);
    return 0;
}
