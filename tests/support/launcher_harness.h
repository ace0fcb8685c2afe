// What the in-process tests of the launcher run against. ScriptedServer: a directory server on
// 127.0.0.1 (at a port the system picks, or a given one for a server started again) that serves
// one connection on a thread of its own and calls its script for each complete request "server".
// LauncherHarness: the real CLauncherDlg, with set.xml in a temporary directory that stands for
// the executable's, message boxes and pauses recorded instead of performed, and the test's body
// run inside the modal loop.
#pragma once

// The system's socket headers go before the platform layer's names.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "launcher/ui/launcher_dlg.h"
#include "launcher/ui/resource.h"
#include "platform/controls.h"
#include "platform/testing.h"

namespace test_support {

class ScriptedServer {
public:
    // Runs on the server's thread; requests are numbered from 0.
    using Script = std::function<void(ScriptedServer&, int request)>;

    explicit ScriptedServer(Script script = {}, unsigned port = 0) : m_script(std::move(script)) {
        sockaddr_in sa{AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof sa;
        // The port of a server that went away stays taken (TIME_WAIT) otherwise.
        const int on = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&sa), len);
        ::listen(m_listener, 4);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    // Answers every request with `reply`.
    explicit ScriptedServer(const std::string& reply, unsigned port = 0)
        : ScriptedServer([reply](ScriptedServer& server, int) { server.Send(reply); }, port) {}

    ~ScriptedServer() {
        // Wakes the thread from accept or recv: it sees m_stopping, or this sees the connection.
        m_stopping = true;
        ::shutdown(m_listener, SHUT_RDWR);
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
        ::close(m_listener);
    }

    unsigned Port() const { return m_port; }
    bool Connected() const { return m_fd >= 0; }
    // The connection has ended, closed by the client or by Close.
    bool Ended() const { return m_ended; }
    int Requests() const { return m_requests; }
    std::size_t BytesReceived() const { return m_bytesReceived; }

    // Sends all of `bytes`, blocking while the client's buffers are full; false once it is gone.
    bool Send(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }

    // Ends the connection with FIN, or with RST when `reset` (a zero linger time makes the
    // serving thread's release of the socket send RST).
    void Close(bool reset = false) {
        const linger zero{1, 0};
        if (reset)
            ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &zero, sizeof zero);
        ::shutdown(m_fd, reset ? SHUT_RD : SHUT_RDWR);
    }

private:
    void Serve() {
        // Fails only when the destructor has run first.
        const int fd = m_fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (m_stopping)
            ::shutdown(fd, SHUT_RDWR);
        std::string stream;  // what follows the last complete request
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            stream.append(buffer, std::size_t(n));
            m_bytesReceived += std::size_t(n);
            for (std::size_t at; (at = stream.find("server")) != std::string::npos;) {
                stream.erase(0, at + 6);
                const int request = m_requests++;
                if (m_script)
                    m_script(*this, request);
            }
        }
        m_ended = true;
        // Releases the socket but keeps its number taken until the destructor, so that no
        // other socket of the process gets it meanwhile.
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup3(null, fd, O_CLOEXEC);
        ::close(null);
    }

    Script m_script;
    int m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unsigned m_port = 0;
    std::atomic<int> m_fd{-1}, m_requests{0};
    std::atomic<bool> m_ended{false}, m_stopping{false};
    std::atomic<std::size_t> m_bytesReceived{0};
    std::thread m_thread;
};

class LauncherHarness {
public:
    static constexpr int kEndedByTest = 3;

    // `settings` becomes set.xml unless it is empty (then there is none).
    explicit LauncherHarness(const std::string& settings = "") {
        if (!settings.empty())
            std::ofstream(File("set.xml"), std::ios::binary) << settings;
        auto& hooks = platform::testing::CurrentHooks();
        hooks.moduleFileName = [this] { return File("launcher"); };
        hooks.messageBox = [this](const std::string& t, unsigned) { messageBoxes.push_back(t); };
        hooks.sleep = [this](unsigned ms) { sleeps.push_back(ms); };
    }
    // set.xml names `ip` and `port` exactly as given.
    LauncherHarness(const std::string& ip, const std::string& port)
        : LauncherHarness("<xml><connect ip=\"" + ip + "\" port=\"" + port +
                          "\"/><title>Launcher under test</title></xml>") {}
    ~LauncherHarness() {
        platform::testing::ResetHooks();
        std::filesystem::remove_all(dir);
    }
    LauncherHarness(const LauncherHarness&) = delete;
    LauncherHarness& operator=(const LauncherHarness&) = delete;

    // A path in the directory the launcher takes for its own.
    std::string File(const std::string& name) const { return dir + "/" + name; }

    // Runs `dialog` modally, `body` inside the modal loop once it is shown, then ends it with
    // kEndedByTest unless the body did; DoModal's result.
    INT_PTR Run(CLauncherDlg& dialog, const std::function<void(CLauncherDlg&)>& body) {
        platform::testing::CurrentHooks().dialogShown = [&](CDialog&) {
            QTimer::singleShot(0, [&] {
                body(dialog);
                dialog.EndDialog(kEndedByTest);
            });
        };
        return dialog.DoModal();
    }
    void Run(const std::function<void(CLauncherDlg&)>& body) {
        CLauncherDlg dialog;
        Run(dialog, body);
    }

    std::string dir = ::mkdtemp(std::string("/tmp/launcher-test-XXXXXX").data());
    std::vector<std::string> messageBoxes;
    std::vector<unsigned> sleeps;
};

// A control of the dialog as its Qt widget (a Qt window handle is its widget's address).
template <class Widget>
Widget* Control(CDialog& dialog, int id) {
    return qobject_cast<Widget*>(reinterpret_cast<QWidget*>(dialog.GetDlgItem(id)));
}

// The host list's entries as the launcher holds them (bytes), in list order.
inline std::vector<std::string> ListEntries(CLauncherDlg& dialog) {
    CListBox list(dialog.GetDlgItem(IDC_HOST_LIST));
    std::vector<std::string> entries(std::size_t(list.GetCount()));
    for (std::size_t i = 0; i < entries.size(); ++i)
        list.GetText(int(i), entries[i]);
    return entries;
}

// Double-clicks row `row` of the host list with real mouse events on its viewport. With `row` -1
// only the double-click itself reaches the empty area below the rows, so the selection stays, as
// on Windows, where a click there keeps it.
inline void DoubleClickHostList(CLauncherDlg& dialog, int row) {
    QListWidget* list = Control<QListWidget>(dialog, IDC_HOST_LIST);
    QWidget* viewport = list->viewport();
    if (row < 0) {
        const QPointF at(viewport->width() / 2, viewport->height() - 3);
        QMouseEvent click(QEvent::MouseButtonDblClick, at, viewport->mapToGlobal(at),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &click);
        return;
    }
    const QPoint at = list->visualItemRect(list->item(row)).center();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
}

}  // namespace test_support
