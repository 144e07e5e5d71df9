// The package check against the publisher's checksum and signature, with keys
// made here by OpenSSL.
#include <gtest/gtest.h>

#include <memory>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "TempDir.h"
#include "installer/ZELPackageVerifier.h"

using platform::Value;
using zeltest::TempDir;
using zeltest::writeFile;

namespace {

std::string base64(const std::vector<unsigned char>& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

struct Publisher {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"),
                                                             EVP_PKEY_free};
    std::string publicKey() const {
        std::vector<unsigned char> raw(32);
        size_t length = raw.size();
        EVP_PKEY_get_raw_public_key(key.get(), raw.data(), &length);
        return base64(raw);
    }
    std::string sign(const std::string& message) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get());
        std::vector<unsigned char> signature(64);
        size_t length = signature.size();
        EVP_DigestSign(context.get(), signature.data(), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size());
        return base64(signature);
    }
};

const char kDamaged[] = "The downloaded package is damaged (checksum mismatch).";
const char kNotSigned[] = "The downloaded package is not signed by the publisher.";

std::string verdict(const std::string& path, const Value& sha256, const Value& signature, const Value& key) {
    auto error = ZELPackageVerifier::verifyPackage(path, sha256, signature, key);
    return error ? error->localizedDescription : "ok";
}

}  // namespace

TEST(PackageVerifier, AChecksumMustMatchWhenTheFeedGivesOne) {
    TempDir dir;
    const std::string path = dir.file("p.pkg");
    writeFile(path, "abc");
    const std::string digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";  // of "abc"
    EXPECT_EQ(ZELPackageVerifier::sha256OfFile(path), digest);
    EXPECT_EQ(verdict(path, Value(digest), Value(), Value()), "ok");
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(verdict(path, Value(upper), Value(), Value()), "ok");
    EXPECT_EQ(verdict(path, Value(std::string(64, '0')), Value(), Value()), kDamaged);
    EXPECT_EQ(verdict(path, Value(digest.substr(1)), Value(), Value()), kDamaged);
    EXPECT_EQ(verdict(dir.file("missing.pkg"), Value(digest), Value(), Value()), kDamaged);
    EXPECT_EQ(verdict(path, Value(), Value(), Value()), "ok") << "no checksum, no key: nothing to check";
}

TEST(PackageVerifier, WithThePublishersKeyOnlyTheirSignatureOfThisPackageWillDo) {
    TempDir dir;
    const std::string path = dir.file("p.pkg");
    const std::string package = std::string(3 << 20, 'x') + "end";
    writeFile(path, package);
    Publisher publisher, stranger;
    ASSERT_TRUE(publisher.key && stranger.key);
    const Value key(publisher.publicKey());
    EXPECT_EQ(verdict(path, Value(), Value(publisher.sign(package)), key), "ok");
    EXPECT_EQ(verdict(path, Value(), Value(), key), kNotSigned);
    EXPECT_EQ(verdict(path, Value(), Value(stranger.sign(package)), key), kNotSigned);
    EXPECT_EQ(verdict(path, Value(), Value(publisher.sign(package + "!")), key), kNotSigned);
    EXPECT_EQ(verdict(path, Value(), Value("not base64 at all"), key), kNotSigned);
    EXPECT_EQ(verdict(path, Value(), Value(publisher.sign(package)), Value("c2hvcnQ=")), kNotSigned)
        << "a key that is not 32 bytes verifies nothing";
    // A checksum that matches does not stand in for the signature.
    EXPECT_EQ(verdict(path, Value(ZELPackageVerifier::sha256OfFile(path)), Value(), key), kNotSigned);
}
