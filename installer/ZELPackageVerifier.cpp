#include "installer/ZELPackageVerifier.h"

#include <cctype>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <unistd.h>
#include <vector>

#include "platform/foundation/Log.h"

namespace ZELPackageVerifier {

namespace {

constexpr const char* kErrorDomain = "ZELPackageErrorDomain";

platform::Error damaged() {
    return platform::Error(kErrorDomain, 1, "The downloaded package is damaged (checksum mismatch).");
}
platform::Error unsigned_() {
    return platform::Error(kErrorDomain, 2, "The downloaded package is not signed by the publisher.");
}

struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0) close(fd);
    }
};

// Feeds the whole file to `consume`; false when it cannot be read.
template <typename Consume> bool readFile(const std::string& path, Consume consume) {
    FileCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return false;
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = read(file.fd, buffer.data(), buffer.size());
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!consume(buffer.data(), static_cast<size_t>(n))) return false;
    }
}

// Standard base64 with padding; nothing for anything else.
bool decodeBase64(const std::string& text, std::vector<unsigned char>* bytes) {
    std::string clean;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) clean += c;
    if (clean.empty() || clean.size() % 4 != 0) return false;
    bytes->assign(clean.size() / 4 * 3, 0);
    const int length = EVP_DecodeBlock(bytes->data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                       static_cast<int>(clean.size()));
    if (length < 0) return false;
    size_t padding = 0;
    while (padding < 2 && clean[clean.size() - 1 - padding] == '=') padding++;
    bytes->resize(static_cast<size_t>(length) - padding);
    return true;
}

bool signatureIsValid(const std::string& path, const std::string& signatureText, const std::string& keyText) {
    std::vector<unsigned char> key, signature;
    if (!decodeBase64(keyText, &key) || key.size() != 32) {
        platform::logFormat("UPDATE_PUBLIC_KEY is not a base64 Ed25519 public key");
        return false;
    }
    if (!decodeBase64(signatureText, &signature) || signature.size() != 64) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()), EVP_PKEY_free);
    if (!publicKey) return false;
    // Ed25519 signs the message whole (no streaming interface), so the
    // package is read into memory here.
    std::vector<unsigned char> package;
    if (!readFile(path, [&](const unsigned char* data, size_t length) {
            package.insert(package.end(), data, data + length);
            return true;
        }))
        return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), package.data(), package.size()) == 1;
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string sha256OfFile(const std::string& path) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return "";
    if (!readFile(path, [&](const unsigned char* data, size_t length) {
            return EVP_DigestUpdate(context.get(), data, length) == 1;
        }))
        return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return "";
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; i++) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

platform::OptionalError verifyPackage(const std::string& path, const platform::Value& sha256,
                                      const platform::Value& signature, const platform::Value& publicKey) {
    if (sha256.isString() && !sha256.stringValue().empty()) {
        if (sha256OfFile(path) != lowercase(sha256.stringValue())) return damaged();
    }
    if (publicKey.isString() && !publicKey.stringValue().empty()) {
        if (!signature.isString() || !signatureIsValid(path, signature.stringValue(), publicKey.stringValue()))
            return unsigned_();
    }
    return std::nullopt;
}

}  // namespace ZELPackageVerifier
