#include "sim/pkcs11/counters.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace qdpkcs11 {
namespace {

template <typename C, typename F>
void eachField(C& c, F&& f) {
    f("loads", c.loads);
    f("unloads", c.unloads);
    f("loaded", c.loaded);
    f("initializations", c.initializations);
    f("finalizations", c.finalizations);
    f("initialized", c.initialized);
    f("sessions_opened", c.sessions_opened);
    f("sessions_closed", c.sessions_closed);
    f("logins", c.logins);
    f("logouts", c.logouts);
    f("pin_prompts", c.pin_prompts);
    f("countdowns", c.countdowns);
    f("unknown_objects", c.unknown_objects);
}

}  // namespace

void Counters::load(const std::string& path) {
    std::ifstream in(path);
    std::string name;
    long value = 0;
    while (in >> name >> value) {
        eachField(*this, [&](const char* field, long& target) {
            if (name == field) target = value;
        });
    }
}

void Counters::save(const std::string& path) const {
    std::ostringstream text;
    eachField(*this, [&](const char* field, const long& value) { text << field << ' ' << value << '\n'; });
    text << "open_sessions " << sessions_opened - sessions_closed << '\n';
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text.str();
        if (!out) return;
    }
    std::rename(temporary.c_str(), path.c_str());
}

}  // namespace qdpkcs11
