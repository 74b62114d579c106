// Helpers of the core tests and the lookCer benchmark: a fresh simulator
// state folder, the keysim command, test certificates, a QApplication.
#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

namespace coretest {

// Creates a temporary KEYSIM_DIR for this process and removes it at the end.
class SimDir {
public:
    SimDir();
    ~SimDir();
    SimDir(const SimDir&) = delete;
    SimDir& operator=(const SimDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Runs build/bin/keysim with the arguments; returns its exit status and
// puts its standard output into *out when given.
int keysim(const std::vector<std::string>& args, std::string* out = nullptr);

// A self-signed-looking certificate (EC P-256) with the given common names
// and validity texts (UTCTime "YYMMDDhhmmssZ" or GeneralizedTime), DER.
QByteArray makeCert(const std::string& subjectCN, const std::string& issuerCN,
                    const std::string& notBefore = "200101000000Z",
                    const std::string& notAfter = "300101000000Z", long serial = 1);

// Writes bytes to a file in dir; returns its path.
std::string writeFile(const std::string& dir, const std::string& name, const QByteArray& bytes);

// The QApplication of the test process (made on first call, offscreen).
void ensureApp();

}  // namespace coretest
