// nphost: a browser host a person can script, to see and try our plug-ins.
// Reads one action per line from a script file (or standard input) and
// prints what the page would see. `nphost --help` lists the actions.
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "npbrowser.h"
#include "platform/cli.h"

namespace {

const char* kUsage =
    "usage: nphost [SCRIPT]   (standard input when SCRIPT is - or missing)\n"
    "       nphost --help | --version\n"
    "\n"
    "One action per line; # starts a comment.\n"
    "  browser coregraphics|cocoa yes|no|fail   answers to the plug-in's questions (before new)\n"
    "  browser version N                        the browser's version field (before new)\n"
    "  browser origin ORIGIN|none               the page's origin the browser reports to the\n"
    "                                           instances made after it (none: the question\n"
    "                                           fails, the default)\n"
    "  new PLUGIN [name=value ...]              load PLUGIN (a path, or a name looked up in\n"
    "                                           $NPHOST_PLUGIN_PATH and the build's lib folder)\n"
    "                                           and create an instance with the page parameters;\n"
    "                                           width and height also size its window (220x30)\n"
    "  focus on|off                             the browser gives or takes the plug-in's focus\n"
    "  move X Y                                 the pointer moves to X Y (plug-in coordinates)\n"
    "  click X Y                                pointer to X Y, button down and up\n"
    "  type TEXT                                one key press per character of TEXT\n"
    "  key NAME ...                             return enter tab backspace delete left right up\n"
    "                                           down home end pageup pagedown escape f1..f12\n"
    "  call METHOD [ARG ...]                    a script call; ARG: 12, 1.5, \"text\", true, false,\n"
    "                                           null, or @NAME for a listener function\n"
    "  default [ARG ...]                        call the object itself\n"
    "  get PROPERTY | set PROPERTY ARG          script properties\n"
    "  listen EVENT                             addEventListener(EVENT, a function that prints\n"
    "                                           each call)\n"
    "  draw FILE.png                            save what the plug-in draws\n"
    "  pin PIN [FILE.png]                       the user answers the next PIN window that comes up\n"
    "                                           (while a later line waits in it) by typing PIN and\n"
    "                                           pressing OK; FILE.png gets a picture of the window\n"
    "  echo TEXT                                print TEXT\n"
    "  destroy                                  end the instance\n";

// A line that cannot be carried out ends the session: status 2 for a script
// mistake, 1 when the plug-in could not be loaded or refused the instance.
struct Failure {
    std::string message;
    int status = 2;
};

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            word += '"';
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    const char next = line[i + 1];
                    word += next == 'n' ? '\n' : next == 't' ? '\t' : next;
                    i += 2;
                } else if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    word += line[i++];
                }
            }
            if (!closed) throw Failure{"unterminated text"};
            word += '"';
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

bool parseInt(const std::string& s, long long* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    *out = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

std::string exeFolder() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    return QFileInfo(QString::fromLocal8Bit(path)).absolutePath().toStdString();
}

std::string findPlugin(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::vector<std::string> folders;
    if (const char* list = std::getenv("NPHOST_PLUGIN_PATH")) {
        std::stringstream ss(list);
        std::string folder;
        while (std::getline(ss, folder, ':'))
            if (!folder.empty()) folders.push_back(folder);
    }
    folders.push_back(exeFolder() + "/../lib");
    folders.push_back(".");
    for (const auto& folder : folders) {
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), R_OK) == 0) return candidate;
    }
    return name;
}

class Session {
public:
    void run(std::istream& in) {
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#') continue;
            try {
                perform(line.substr(start));
            } catch (const Failure& f) {
                printListenerCalls();
                std::fflush(stdout);
                std::fprintf(stderr, "nphost: line %d: %s\n", number, f.message.c_str());
                exitStatus_ = f.status;
                return;
            }
            printListenerCalls();
            std::fflush(stdout);
        }
    }
    int exitStatus() const { return exitStatus_; }
    ~Session() {
        instance_.reset();
        browser_.reset();
    }

private:
    npbrowser::Instance& instance() {
        if (!instance_) throw Failure{"no plug-in instance: start with 'new PLUGIN'"};
        return *instance_;
    }

    npbrowser::Value parseValue(const std::string& word) {
        if (word.size() >= 2 && word.front() == '"' && word.back() == '"')
            return npbrowser::Value::makeText(word.substr(1, word.size() - 2));
        if (word == "true" || word == "false") return npbrowser::Value::makeBool(word == "true");
        if (word == "null") return npbrowser::Value::makeNull();
        if (!word.empty() && word[0] == '@') {
            NPObject* listener = instance().newListener(word.substr(1));
            if (listener == nullptr) throw Failure{"cannot make a listener"};
            return npbrowser::Value::makeObject(listener);
        }
        long long n = 0;
        if (parseInt(word, &n)) {
            if (n < INT32_MIN || n > INT32_MAX) throw Failure{"number out of the 32-bit range: " + word};
            return npbrowser::Value::makeInt(static_cast<int32_t>(n));
        }
        char* end = nullptr;
        errno = 0;
        const double d = std::strtod(word.c_str(), &end);
        if (errno == 0 && *end == '\0' && std::isfinite(d)) return npbrowser::Value::makeDouble(d);
        throw Failure{"not a value: " + word + " (write texts in double quotes)"};
    }

    std::vector<npbrowser::Value> parseValues(const std::vector<std::string>& words, size_t from) {
        std::vector<npbrowser::Value> values;
        for (size_t i = from; i < words.size(); ++i) values.push_back(parseValue(words[i]));
        return values;
    }

    double coordinate(const std::string& word) {
        char* end = nullptr;
        const double d = std::strtod(word.c_str(), &end);
        if (word.empty() || *end != '\0' || !std::isfinite(d)) throw Failure{"not a coordinate: " + word};
        return d;
    }

    void needWords(const std::vector<std::string>& w, size_t count, const char* usage) {
        if (w.size() != count) throw Failure{std::string("usage: ") + usage};
    }

    void perform(const std::string& line) {
        const auto w = splitWords(line);
        const std::string& action = w[0];
        if (action == "browser") {
            browserSetting(w);
        } else if (action == "new") {
            newInstance(w);
        } else if (action == "focus") {
            needWords(w, 2, "focus on|off");
            if (w[1] != "on" && w[1] != "off") throw Failure{"usage: focus on|off"};
            instance().focus(w[1] == "on");
        } else if (action == "move") {
            needWords(w, 3, "move X Y");
            instance().mouseMoved(coordinate(w[1]), coordinate(w[2]));
        } else if (action == "click") {
            needWords(w, 3, "click X Y");
            instance().click(coordinate(w[1]), coordinate(w[2]));
        } else if (action == "type") {
            const size_t at = line.find("type") + 4;
            const std::string text = at < line.size() ? line.substr(at + 1) : std::string();
            instance().typeText(QString::fromUtf8(text.c_str()));
        } else if (action == "key") {
            if (w.size() < 2) throw Failure{"usage: key NAME ..."};
            for (size_t i = 1; i < w.size(); ++i)
                if (npbrowser::keyCharacters(w[i]).isEmpty()) throw Failure{"unknown key: " + w[i]};
            for (size_t i = 1; i < w.size(); ++i) instance().pressKey(w[i]);
        } else if (action == "call") {
            if (w.size() < 2) throw Failure{"usage: call METHOD [ARG ...]"};
            auto args = parseValues(w, 2);
            npbrowser::Value result;
            const bool ok = instance().invoke(w[1], args, &result);
            std::printf("%s -> %s\n", w[1].c_str(), ok ? result.describe().c_str() : "failed");
        } else if (action == "default") {
            auto args = parseValues(w, 1);
            npbrowser::Value result;
            const bool ok = instance().invokeDefault(args, &result);
            std::printf("default -> %s\n", ok ? result.describe().c_str() : "failed");
        } else if (action == "get") {
            needWords(w, 2, "get PROPERTY");
            npbrowser::Value result;
            const bool ok = instance().getProperty(w[1], &result);
            std::printf("%s -> %s\n", w[1].c_str(), ok ? result.describe().c_str() : "failed");
        } else if (action == "set") {
            needWords(w, 3, "set PROPERTY ARG");
            const bool ok = instance().setProperty(w[1], parseValue(w[2]));
            std::printf("%s = %s -> %s\n", w[1].c_str(), w[2].c_str(), ok ? "ok" : "refused");
        } else if (action == "listen") {
            needWords(w, 2, "listen EVENT");
            NPObject* listener = instance().newListener(w[1]);
            npbrowser::Value result;
            const bool ok = listener != nullptr && instance().invoke("addEventListener",
                                                                     {npbrowser::Value::makeText(w[1]),
                                                                      npbrowser::Value::makeObject(listener)},
                                                                     &result);
            std::printf("addEventListener %s -> %s\n", w[1].c_str(), ok ? "ok" : "failed");
        } else if (action == "draw") {
            needWords(w, 2, "draw FILE.png");
            const QImage image = instance().draw();
            if (image.isNull() || !image.save(QString::fromStdString(w[1]), "PNG"))
                throw Failure{"cannot write " + w[1]};
            std::printf("drew %dx%d into %s\n", image.width(), image.height(), w[1].c_str());
        } else if (action == "pin") {
            if (w.size() != 2 && w.size() != 3) throw Failure{"usage: pin PIN [FILE.png]"};
            answerNextPrompt(w[1], w.size() == 3 ? w[2] : std::string());
        } else if (action == "echo") {
            std::printf("%s\n", line.size() > 5 ? line.substr(5).c_str() : "");
        } else if (action == "destroy") {
            needWords(w, 1, "destroy");
            std::printf("NPP_Destroy -> %d\n", instance().destroy());
            instance_.reset();
        } else {
            throw Failure{"unknown action '" + action + "' (nphost --help lists them)"};
        }
        if (instance_ && instance_->cursorKind() != lastCursor_) {
            lastCursor_ = instance_->cursorKind();
            std::printf("cursor %s\n", lastCursor_ == 1 ? "I-beam" : "arrow");
        }
    }

    // Plays the user at the next modal window with a text field (the PIN
    // prompt a PKCS#11 module opens while a script call waits in it): key
    // presses into the field, then a click on its button.
    void answerNextPrompt(const std::string& pin, const std::string& picture) {
        auto* timer = new QTimer(qApp);
        timer->setInterval(50);
        QObject::connect(timer, &QTimer::timeout, [timer, pin, picture] {
            QWidget* window = QApplication::activeModalWidget();
            auto* field = window == nullptr ? nullptr : window->findChild<QLineEdit*>();
            auto* ok = window == nullptr ? nullptr : window->findChild<QPushButton*>();
            if (field == nullptr || ok == nullptr || !window->isVisible()) return;
            timer->stop();
            timer->deleteLater();
            for (char c : pin) {
                QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(c)));
                QCoreApplication::sendEvent(field, &press);
            }
            if (!picture.empty()) {
                const bool saved = window->grab().save(QString::fromStdString(picture), "PNG");
                std::printf(saved ? "PIN window saved to %s\n" : "PIN window: cannot write %s\n",
                            picture.c_str());
            }
            std::printf("PIN window \"%s\" answered\n", window->windowTitle().toUtf8().constData());
            ok->click();
        });
        timer->start();
    }

    void browserSetting(const std::vector<std::string>& w) {
        needWords(w, 3,
                  "browser coregraphics|cocoa yes|no|fail, browser version N, or browser origin ORIGIN|none");
        if (w[1] == "origin") {
            // Any time: the page the next instances are made on.
            const auto origin = w[2] == "none" ? std::nullopt : std::optional<std::string>(w[2]);
            settings_.documentOrigin = origin;
            if (browser_) browser_->settings().documentOrigin = origin;
            return;
        }
        if (browser_) throw Failure{"browser settings come before the first 'new'"};
        if (w[1] == "version") {
            long long v = 0;
            if (!parseInt(w[2], &v) || v < 0 || v > 0xFFFF)
                throw Failure{"version: a number from 0 to 65535"};
            settings_.version = static_cast<uint16_t>(v);
            return;
        }
        npbrowser::Answer answer;
        if (w[2] == "yes")
            answer = npbrowser::Answer::Yes;
        else if (w[2] == "no")
            answer = npbrowser::Answer::No;
        else if (w[2] == "fail")
            answer = npbrowser::Answer::CallFails;
        else
            throw Failure{"answer: yes, no or fail"};
        if (w[1] == "coregraphics")
            settings_.coreGraphics = answer;
        else if (w[1] == "cocoa")
            settings_.cocoa = answer;
        else
            throw Failure{"unknown browser setting: " + w[1]};
    }

    void newInstance(const std::vector<std::string>& w) {
        if (w.size() < 2) throw Failure{"usage: new PLUGIN [name=value ...]"};
        const std::string path = findPlugin(w[1]);
        if (!browser_) {
            browser_ = std::make_unique<npbrowser::Browser>(settings_);
            std::string error;
            if (!browser_->load(path, &error)) {
                browser_.reset();
                throw Failure{path + ": " + error, 1};
            }
            pluginPath_ = path;
        } else if (path != pluginPath_) {
            throw Failure{"one plug-in library per session (" + pluginPath_ + " is loaded)"};
        }
        instance_.reset();
        std::vector<std::pair<std::string, std::string>> params;
        uint32_t width = 220, height = 30;
        for (size_t i = 2; i < w.size(); ++i) {
            const size_t eq = w[i].find('=');
            if (eq == std::string::npos || eq == 0) throw Failure{"parameter without name=value: " + w[i]};
            std::string value = w[i].substr(eq + 1);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            params.emplace_back(w[i].substr(0, eq), value);
            long long n = 0;
            const std::string name = w[i].substr(0, eq);
            if ((name == "width" || name == "height") && parseInt(value, &n) && n > 0 && n <= 4096)
                (name == "width" ? width : height) = static_cast<uint32_t>(n);
        }
        const char* description = browser_->mimeDescription();
        std::string mime = description == nullptr ? "application/octet-stream" : description;
        mime = mime.substr(0, mime.find(':'));
        NPError error = 0;
        instance_ = browser_->newInstance(mime, params, &error);
        if (!instance_) throw Failure{"NPP_New refused the instance: error " + std::to_string(error), 1};
        const NPError windowResult = instance_->setWindow(width, height);
        std::printf("new %s (%s) %ux%u -> %d\n",
                    QFileInfo(QString::fromStdString(path)).fileName().toUtf8().constData(), mime.c_str(),
                    width, height, windowResult);
    }

    void printListenerCalls() {
        if (!instance_) return;
        for (const auto& call : instance_->listenerCalls()) {
            std::string args;
            for (const auto& a : call.args) args += (args.empty() ? "" : ", ") + a.describe();
            std::printf("event %s(%s)\n", call.listener.c_str(), args.c_str());
        }
        instance_->clearListenerCalls();
    }

    npbrowser::Settings settings_;
    std::unique_ptr<npbrowser::Browser> browser_;
    std::unique_ptr<npbrowser::Instance> instance_;
    std::string pluginPath_;
    int lastCursor_ = -1;
    int exitStatus_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // A script named --version would have to be given as ./--version.
    if (const platform::Asked asked = argc == 2 ? platform::askedFor(argv[1]) : platform::Asked::Nothing;
        asked != platform::Asked::Nothing)
        return platform::answer(asked, "nphost", kUsage);
    std::ifstream file;
    std::istream* in = &std::cin;
    if (argc == 2 && std::strcmp(argv[1], "-") != 0) {
        file.open(argv[1]);
        if (!file) {
            std::fprintf(stderr, "nphost: cannot read %s: %s\n", argv[1], std::strerror(errno));
            return 2;
        }
        in = &file;
    }
    npbrowser::ensureApplication();
    Session session;
    session.run(*in);
    return session.exitStatus();
}
