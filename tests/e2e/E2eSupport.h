// Helpers of the end-to-end tests: the simulated instrument as a child process, boxes answered in a
// scripted order, the event loop's liveness, and the process's own threads, descriptors and CPU time.
#pragma once

#include "../app/AppTestSupport.h"
#include "../app/TempDir.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace e2e {

using namespace std::chrono_literals;

// The simulator as a child process; its output goes to a log file. The destructor ends it (SIGTERM, and
// SIGKILL if it does not go).
class SimProcess {
public:
    SimProcess(const std::vector<std::string>& args, const std::string& log) {
        std::vector<char*> argv;
        std::string program = PW_SIM_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& arg : copy) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (::posix_spawn(&Pid, PW_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            Pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~SimProcess() {
        if (Running()) {
            ::kill(Pid, SIGTERM);
            for (int i = 0; i < 500 && Running(); ++i) {
                const timespec step{0, 10'000'000};
                ::nanosleep(&step, nullptr);
            }
            if (Running()) {
                ::kill(Pid, SIGKILL);
                ::waitpid(Pid, &Status, 0);
                Reaped = true;
            }
        }
    }

    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Started() const { return Pid > 0; }

    // True while the simulator runs; reaps it once it has ended.
    bool Running() {
        if (Pid <= 0 || Reaped) {
            return false;
        }
        if (::waitpid(Pid, &Status, WNOHANG) == Pid) {
            Reaped = true;
            return false;
        }
        return true;
    }

    // The exit status once it has ended; -1 while it runs, 128 + signal when a signal ended it.
    int ExitStatus() {
        if (Running() || !Reaped) {
            return -1;
        }
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }

    void Signal(int signal) const {
        if (Pid > 0 && !Reaped) {
            ::kill(Pid, signal);
        }
    }

private:
    pid_t Pid = -1;
    int Status = 0;
    bool Reaped = false;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A number of the simulator's JSON report ("key": value); NaN when the key is missing.
inline double JsonNumber(const std::string& json, const std::string& key) {
    const std::string quoted = "\"" + key + "\":";
    const std::size_t at = json.find(quoted);
    if (at == std::string::npos) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return std::strtod(json.c_str() + at + quoted.size(), nullptr);
}

inline std::string JsonText(const std::string& json, const std::string& key) {
    const std::string quoted = "\"" + key + "\": \"";
    const std::size_t at = json.find(quoted);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t from = at + quoted.size();
    return json.substr(from, json.find('"', from) - from);
}

enum class BoxKind { Question, Notice };

struct SeenBox {
    BoxKind Kind;
    QString Title;
    QString Text;
};

// Answers the program's modal boxes as a user would, in a scripted order: questions take the next answer
// (No when the script has run out, so a question nobody expected cannot start anything), notices are
// confirmed with OK, and the file dialog takes the next queued file (none: cancelled).
class ScriptedAnswerer : public QObject {
public:
    ScriptedAnswerer() {
        Timer.setInterval(5);
        connect(&Timer, &QTimer::timeout, this, &ScriptedAnswerer::Answer);
        Timer.start();
    }

    std::deque<bool> Answers; // true: Yes
    std::deque<QString> FileAnswers;
    std::vector<SeenBox> Boxes;
    int FileDialogs = 0;
    // How long a message box stays up before it is answered: a user reads it first, and the program
    // keeps serving its other work meanwhile.
    std::chrono::milliseconds ThinkTime{0};

private:
    // True once `box` has been up for the think time.
    bool Thought(const QWidget* box) {
        if (box != Pondered) {
            Pondered = box;
            Pondering.start();
        }
        return Pondering.elapsed() >= ThinkTime.count();
    }

    void Answer() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box && box->isVisible()) {
            if (!Thought(box)) {
                return;
            }
            Pondered = nullptr;
            QAbstractButton* yes = box->button(QMessageBox::Yes);
            if (yes) {
                Boxes.push_back({BoxKind::Question, box->windowTitle(), box->text()});
                const bool answer = !Answers.empty() && Answers.front();
                if (!Answers.empty()) {
                    Answers.pop_front();
                }
                QAbstractButton* no = box->button(QMessageBox::No);
                (answer ? yes : (no ? no : yes))->click();
            } else {
                Boxes.push_back({BoxKind::Notice, box->windowTitle(), box->text()});
                QAbstractButton* ok = box->button(QMessageBox::Ok);
                (ok ? ok : box->buttons().front())->click();
            }
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal); dialog && dialog->isVisible()) {
            ++FileDialogs;
            AnswerFileDialog(*dialog, FileAnswers);
        }
    }

    QTimer Timer;
    const QWidget* Pondered = nullptr;
    QElapsedTimer Pondering;
};

// Ticks every 50 ms on the main thread's event loop and keeps the longest gap between two ticks: a window
// that stops serving its messages shows up as a long gap.
class LivenessProbe : public QObject {
public:
    LivenessProbe() {
        Timer.setInterval(50);
        connect(&Timer, &QTimer::timeout, this, [this] {
            const qint64 now = Clock.elapsed();
            LongestGapMs = std::max(LongestGapMs, now - LastTickMs);
            LastTickMs = now;
            ++Ticks;
        });
        Clock.start();
        Timer.start();
    }
    void Stop() { Timer.stop(); }
    // The longest gap so far, counting the time since the last tick: a loop that never ticked again
    // shows up too.
    qint64 LongestGapUntilNow() const { return std::max(LongestGapMs, Clock.elapsed() - LastTickMs); }

    qint64 LongestGapMs = 0;
    int Ticks = 0;

private:
    QTimer Timer;
    QElapsedTimer Clock;
    qint64 LastTickMs = 0;
};

// Runs the event loop for `span`, the way a user's idle window spends its time.
inline void ServeEventsFor(std::chrono::milliseconds span) {
    QEventLoop loop;
    QTimer::singleShot(span, &loop, &QEventLoop::quit);
    loop.exec();
}

// CPU time (user + system, all threads) of this process so far.
inline std::chrono::microseconds ProcessCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// Share of the wall time this process spent on the CPU while it served its events for `span`.
inline double CpuShareWhileServing(std::chrono::milliseconds span) {
    const auto cpuBefore = ProcessCpuTime();
    QElapsedTimer wall;
    wall.start();
    ServeEventsFor(span);
    const double wallUs = static_cast<double>(wall.nsecsElapsed()) / 1000.0;
    return static_cast<double>((ProcessCpuTime() - cpuBefore).count()) / wallUs;
}

inline std::size_t CountEntries(const char* folder) {
    std::error_code ignored;
    std::size_t count = 0;
    for (auto it = std::filesystem::directory_iterator(folder, ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored)) {
        ++count;
    }
    return count;
}

inline std::size_t ThreadCount() {
    return CountEntries("/proc/self/task");
}
inline std::size_t OpenDescriptorCount() {
    return CountEntries("/proc/self/fd");
}

// Resident memory in kB (VmRSS of /proc/self/status).
inline long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

} // namespace e2e
