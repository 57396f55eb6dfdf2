#include "tests/support/TestCertificates.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDataFolder.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace {

void Run(const std::vector<std::string>& argv)
{
    const TCommandResult result = RunCommand(argv, 60000);
    if (result.ExitStatus != 0)
        throw std::runtime_error("openssl failed: " + result.Err);
}

// Elliptic-curve keys: made in milliseconds, where RSA keys take seconds.
std::vector<std::string> NewKey(const std::string& keyFile)
{
    return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyFile};
}

void MakeServerCertificate(const std::string& folder, const std::string& name, const std::string& altNames,
                           const std::string& caKey, const std::string& caCert)
{
    const std::string key = folder + name + ".key";
    const std::string request = folder + name + ".csr";
    const std::string extensions = folder + name + ".ext";
    WriteFile(extensions, "subjectAltName=" + altNames + "\nbasicConstraints=CA:FALSE\n"
                          "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n");
    std::vector<std::string> req{"openssl", "req", "-new"};
    for (const auto& a : NewKey(key))
        req.push_back(a);
    req.insert(req.end(), {"-subj", "/CN=" + name, "-out", request});
    Run(req);
    Run({"openssl", "x509", "-req", "-in", request, "-CA", caCert, "-CAkey", caKey, "-CAcreateserial",
         "-days", "2", "-sha256", "-extfile", extensions, "-out", folder + name + ".pem"});
}

class TCertificateFolder {
public:
    TCertificateFolder()
    {
        char pattern[] = "/tmp/vendrel-certs-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("cannot make a folder for the test certificates");
        folder_ = std::string(pattern) + "/";
        const std::string caKey = folder_ + "ca.key";
        certificates_.CAFile = folder_ + "ca.pem";
        std::vector<std::string> ca{"openssl", "req", "-x509"};
        for (const auto& a : NewKey(caKey))
            ca.push_back(a);
        ca.insert(ca.end(), {"-subj", "/CN=Vendrel Test Authority", "-days", "2", "-sha256",
                             "-addext", "basicConstraints=critical,CA:TRUE",
                             "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                             "-out", certificates_.CAFile});
        Run(ca);
        MakeServerCertificate(folder_, "localhost", "IP:127.0.0.1,DNS:localhost", caKey, certificates_.CAFile);
        MakeServerCertificate(folder_, "other", "DNS:mail.other.test", caKey, certificates_.CAFile);
        certificates_.CertFile = folder_ + "localhost.pem";
        certificates_.KeyFile = folder_ + "localhost.key";
        certificates_.OtherCertFile = folder_ + "other.pem";
        certificates_.OtherKeyFile = folder_ + "other.key";
    }
    ~TCertificateFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const TTestCertificates& Certificates() const { return certificates_; }

private:
    std::string folder_;
    TTestCertificates certificates_;
};

} // namespace

const TTestCertificates& TestCertificates()
{
    static const TCertificateFolder folder;
    return folder.Certificates();
}
