// The update feed as the installer reads it: platforms -> darwin -> options.
// Values are kept as the JSON parser gave them, without type checks; every
// level always exists, with empty values where the feed lacks a key.
#pragma once

#include <memory>

#include "platform/foundation/Value.h"

class OptionsData {
public:
    explicit OptionsData(const platform::Value& dictionary);
    bool autoLaunch() const noexcept { return autoLaunch_; }
    void setAutoLaunch(bool v) noexcept { autoLaunch_ = v; }
    bool displayVersion() const noexcept { return displayVersion_; }
    void setDisplayVersion(bool v) noexcept { displayVersion_ = v; }

private:
    bool autoLaunch_ = false;
    bool displayVersion_ = false;
};

class DarwinData {
public:
    explicit DarwinData(const platform::Value& dictionary);
    const platform::Value& bundleId() const noexcept { return bundleId_; }
    void setBundleId(platform::Value v) { bundleId_ = std::move(v); }
    // Declared by the feed format, but neither filled nor read.
    const platform::Value& file() const noexcept { return file_; }
    void setFile(platform::Value v) { file_ = std::move(v); }
    const platform::Value& installUrl() const noexcept { return installUrl_; }
    void setInstallUrl(platform::Value v) { installUrl_ = std::move(v); }
    const platform::Value& url() const noexcept { return url_; }
    void setUrl(platform::Value v) { url_ = std::move(v); }
    const OptionsData& options() const noexcept { return *options_; }
    void setOptions(const OptionsData& options) { options_ = std::make_shared<OptionsData>(options); }
    const platform::Value& product() const noexcept { return product_; }
    void setProduct(platform::Value v) { product_ = std::move(v); }
    const platform::Value& version() const noexcept { return version_; }
    void setVersion(platform::Value v) { version_ = std::move(v); }
    // The publisher's word on the package: hex SHA-256 and base64 Ed25519 signature.
    const platform::Value& sha256() const noexcept { return sha256_; }
    void setSha256(platform::Value v) { sha256_ = std::move(v); }
    const platform::Value& signature() const noexcept { return signature_; }
    void setSignature(platform::Value v) { signature_ = std::move(v); }

private:
    platform::Value bundleId_, file_, installUrl_, url_;
    std::shared_ptr<OptionsData> options_;
    platform::Value product_, version_, sha256_, signature_;
};

class PlatformData {
public:
    explicit PlatformData(const platform::Value& dictionary);
    const DarwinData& darwin() const noexcept { return *darwin_; }
    void setDarwin(const DarwinData& darwin) { darwin_ = std::make_shared<DarwinData>(darwin); }

private:
    std::shared_ptr<DarwinData> darwin_;
};

class ZELFeedData {
public:
    explicit ZELFeedData(const platform::Value& dictionary);
    const PlatformData& platforms() const noexcept { return *platforms_; }
    void setPlatforms(std::shared_ptr<PlatformData> platforms) { platforms_ = std::move(platforms); }

private:
    std::shared_ptr<PlatformData> platforms_;
};
