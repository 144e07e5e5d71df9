// Sessions on one libcurl multi handle each, driven by a worker thread of the
// session. The worker owns every curl handle and every download file; all
// it hands to the delegate queue are finished results, so user code never
// runs on the worker and never waits for it.
#include "platform/net/URLSession.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/net/URLErrors.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/FileManager.h"

namespace platform {

using net_internal::urlError;
using net_internal::urlErrorCodeForCurl;

namespace {

constexpr long kReceiveBufferSize = 512 * 1024;
constexpr size_t kFileBufferSize = 1 << 20;  // downloads reach the disk in writes this big
constexpr long kMaxRedirects = 16;
constexpr size_t kMaxBodyReserve = 64u << 20;

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiCleanup {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;


std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const char* blank = " \t\r\n";
    size_t begin = text.find_first_not_of(blank);
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(blank);
    return text.substr(begin, end - begin + 1);
}

class SessionImpl;
class SessionCore;

// ----------------------------------------------------------------------- task

class TaskImpl final : public URLSessionTask, public std::enable_shared_from_this<TaskImpl> {
public:
    enum class Kind { Data, Download };

    TaskImpl(uint64_t identifier, Kind kind, URLRequest request, URLSession::DataCompletion completion,
             std::shared_ptr<SessionImpl> session, std::shared_ptr<SessionCore> core)
        : identifier_(identifier), kind(kind), request(std::move(request)), completion(std::move(completion)),
          session(std::move(session)), core_(std::move(core)) {}

    void resume() override;
    void cancel() override;
    State state() const override { return state_.load(); }
    uint64_t taskIdentifier() const override { return identifier_; }
    std::optional<HTTPURLResponse> response() const override {
        std::lock_guard<std::mutex> lock(responseMutex_);
        return response_;
    }
    void setResponse(HTTPURLResponse response) {
        std::lock_guard<std::mutex> lock(responseMutex_);
        response_ = std::move(response);
    }

    const uint64_t identifier_;
    const Kind kind;
    const URLRequest request;
    // Handed over to the delegate queue when the task ends.
    URLSession::DataCompletion completion;
    // A task keeps its session until it has ended, as Foundation's do.
    std::shared_ptr<SessionImpl> session;
    std::shared_ptr<SessionCore> core_;
    std::atomic<State> state_{State::Suspended};
    std::atomic<bool> cancelRequested{false};

    // Transfer state, touched by the worker thread only.
    EasyHandle easy;
    HeaderList headerList;
    std::string failingURL;
    Value::Bytes body;
    std::map<std::string, std::string> responseHeaders;
    bool sawHeaders = false;
    UniqueFd file;
    std::string filePath;
    std::vector<char> fileBuffer;
    int writeErrno = 0;
    int64_t lastPostedTotal = 0;
    int64_t maximumBodySize = -1;  // data tasks; negative: none
    // A download that goes on where an earlier one stopped: its file, the
    // bytes already there, and the validator the server must still answer to.
    std::string resumePath;
    int64_t resumeOffset = 0;
    long lastStatus = 0;
    bool keepFile = false;  // a failed download whose file resuming needs
    bool bodyTooLarge = false;
    mutable std::mutex responseMutex_;
    std::optional<HTTPURLResponse> response_;

    bool exceedsLimit(int64_t size) const { return maximumBodySize >= 0 && size > maximumBodySize; }

    // Download progress, written by the worker and read on the delegate queue.
    std::atomic<int64_t> totalWritten{0};
    std::atomic<int64_t> expectedTotal{kTransferSizeUnknown};
    std::atomic<bool> progressPosted{false};
    int64_t reportedTotal = 0;  // delegate queue only

    // Writes the buffered bytes to the download file.
    bool flushFile() {
        size_t done = 0;
        while (done < fileBuffer.size()) {
            ssize_t n = ::write(file.get(), fileBuffer.data() + done, fileBuffer.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                writeErrno = errno;
                return false;
            }
            done += static_cast<size_t>(n);
            totalWritten.fetch_add(n, std::memory_order_relaxed);
        }
        fileBuffer.clear();
        return true;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* task = static_cast<TaskImpl*>(user);
        const size_t length = size * count;
        if (task->kind == Kind::Data) {
            if (task->exceedsLimit(static_cast<int64_t>(task->body.size() + length))) {
                task->bodyTooLarge = true;
                return 0;  // stops the transfer
            }
            task->body.insert(task->body.end(), data, data + length);
            return length;
        }
        if (task->fileBuffer.size() + length > kFileBufferSize && !task->flushFile()) return 0;
        task->fileBuffer.insert(task->fileBuffer.end(), data, data + length);
        if (task->fileBuffer.size() >= kFileBufferSize && !task->flushFile()) return 0;
        return length;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto* task = static_cast<TaskImpl*>(user);
        const size_t length = size * count;
        std::string line(data, length);
        if (line.rfind("HTTP/", 0) == 0) {
            // Each response (an interim one, a redirect) starts afresh.
            task->responseHeaders.clear();
            task->sawHeaders = true;
            const size_t space = line.find(' ');
            task->lastStatus = space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
            return length;
        }
        const std::string text = trimmed(line);
        if (text.empty()) {
            task->headersEnded();
            // A body announced too large is not even started.
            return task->bodyTooLarge ? 0 : length;
        }
        size_t colon = text.find(':');
        if (colon == std::string::npos) return length;
        std::string name = lowercased(trimmed(text.substr(0, colon)));
        std::string value = trimmed(text.substr(colon + 1));
        auto [it, inserted] = task->responseHeaders.emplace(name, value);
        if (!inserted) it->second += ", " + value;
        return length;
    }

    void headersEnded() {
        int64_t expected = kTransferSizeUnknown;
        auto length = responseHeaders.find("content-length");
        auto coding = responseHeaders.find("transfer-encoding");
        if (length != responseHeaders.end() && coding == responseHeaders.end()) {
            char* end = nullptr;
            long long parsed = std::strtoll(length->second.c_str(), &end, 10);
            if (end != length->second.c_str() && *end == '\0' && parsed >= 0) expected = parsed;
        }
        const bool final = lastStatus >= 200 && (lastStatus < 300 || lastStatus >= 400);
        if (kind == Kind::Download && resumeOffset > 0 && final) {
            if (lastStatus == 206) {
                // The rest of the same file: the totals go on from what is there.
                if (expected >= 0) expected += resumeOffset;
            } else {
                // Anything else is the whole answer afresh.
                fileBuffer.clear();
                if (::ftruncate(file.get(), 0) != 0 || ::lseek(file.get(), 0, SEEK_SET) != 0) writeErrno = errno;
                totalWritten.store(0);
                resumeOffset = 0;
            }
        }
        expectedTotal.store(expected);
        if (kind == Kind::Data && exceedsLimit(expected)) bodyTooLarge = true;
        if (kind == Kind::Data && expected > 0 && static_cast<uint64_t>(expected) <= kMaxBodyReserve)
            body.reserve(static_cast<size_t>(expected));
    }
};

// ----------------------------------------------------------------------- core

// What the session object, its tasks and its worker thread share.
class SessionCore : public std::enable_shared_from_this<SessionCore> {
public:
    SessionCore() : multi_(curl_multi_init()) {
        if (!multi_) throw std::runtime_error("curl_multi_init failed");
    }
    ~SessionCore() {
        for (auto& [handle, task] : active_) curl_multi_remove_handle(multi_.get(), handle);
    }

    // Hands a task to the worker (called with mutex held).
    void enqueueLocked(std::shared_ptr<TaskImpl> task) {
        outstanding[task->identifier_] = task;
        incoming.push_back(std::move(task));
        ensureWorkerLocked();
    }
    void ensureWorkerLocked() {
        if (!worker.joinable() && !stopping) worker = std::thread([self = shared_from_this()] { self->run(); });
    }
    void wake() { curl_multi_wakeup(multi_.get()); }

    std::mutex mutex;
    std::vector<std::shared_ptr<TaskImpl>> incoming;
    std::map<uint64_t, std::shared_ptr<TaskImpl>> outstanding;  // resumed and not yet ended
    bool invalidated = false;
    bool invalidNotified = false;
    bool stopping = false;
    std::weak_ptr<SessionImpl> session;
    std::thread worker;

private:
    void run();
    void start(const std::shared_ptr<TaskImpl>& task);
    void finish(const std::shared_ptr<TaskImpl>& task, OptionalError error);
    void finishTransfer(CURL* handle, CURLcode result);
    void addResumeData(TaskImpl& task, CURLcode result, Error& error);
    void postProgress(TaskImpl& task);
    bool setUp(TaskImpl& task, OptionalError& error);

    MultiHandle multi_;
    std::map<CURL*, std::shared_ptr<TaskImpl>> active_;  // worker only
};

// -------------------------------------------------------------------- session

class SessionImpl final : public URLSession {
public:
    SessionImpl(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                std::shared_ptr<DispatchQueue> queue)
        : delegate_(std::move(delegate)), configuration_(std::move(configuration)), queue_(std::move(queue)),
          core_(std::make_shared<SessionCore>()) {}

    ~SessionImpl() override {
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->stopping = true;
            worker = std::move(core_->worker);
        }
        core_->wake();
        if (!worker.joinable()) return;
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();  // it holds the core and ends by itself
        } else {
            worker.join();
        }
    }

    void attach(const std::shared_ptr<SessionImpl>& self) { core_->session = self; }

    std::shared_ptr<URLSessionTask> dataTaskWithURL(const URL& url, DataCompletion completion) override {
        return makeTask(TaskImpl::Kind::Data, URLRequest(url), std::move(completion));
    }
    std::shared_ptr<URLSessionTask> dataTaskWithRequest(const URLRequest& request, DataCompletion completion) override {
        return makeTask(TaskImpl::Kind::Data, request, std::move(completion));
    }
    std::shared_ptr<URLSessionTask> downloadTaskWithURL(const URL& url) override {
        return makeTask(TaskImpl::Kind::Download, URLRequest(url), nullptr);
    }
    std::shared_ptr<URLSessionTask> downloadTaskWithResumeData(const Value& resumeData) override {
        auto url = URL::URLWithString(resumeData.objectForKey("url").stringValue());
        const std::string validator = resumeData.objectForKey("validator").stringValue();
        const int64_t offset = resumeData.objectForKey("offset").longLongValue();
        const std::string path = resumeData.objectForKey("path").stringValue();
        URLRequest request(url ? *url : URL());
        if (url && offset > 0 && !validator.empty() && !path.empty()) {
            request.headers["Range"] = "bytes=" + std::to_string(offset) + "-";
            request.headers["If-Range"] = validator;
        }
        auto task = makeTask(TaskImpl::Kind::Download, request, nullptr);
        auto impl = std::static_pointer_cast<TaskImpl>(task);
        if (request.headers.count("Range")) {
            impl->resumePath = path;
            impl->resumeOffset = offset;
            impl->totalWritten.store(offset);
            impl->lastPostedTotal = offset;
            impl->reportedTotal = offset;
        }
        return task;
    }

    void invalidateAndCancel() override {
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->invalidated = true;
            for (auto& [id, task] : core_->outstanding) {
                task->cancelRequested.store(true);
                if (task->state_.load() == URLSessionTask::State::Running)
                    task->state_.store(URLSessionTask::State::Canceling);
            }
            core_->ensureWorkerLocked();
        }
        core_->wake();
    }

    void finishTasksAndInvalidate() override {
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->invalidated = true;
            core_->ensureWorkerLocked();
        }
        core_->wake();
    }

    const URLSessionConfiguration& configuration() const override { return configuration_; }
    DispatchQueue& delegateQueue() override { return *queue_; }

    // Runs `block` on the delegate queue with the session. Called by the
    // worker, which keeps no reference of its own: the session may end on
    // the delegate queue as soon as the block has run.
    static void post(std::shared_ptr<SessionImpl> session, std::function<void(SessionImpl&)> block) {
        DispatchQueue* queue = session->queue_.get();
        queue->async([session = std::move(session), block = std::move(block)] { block(*session); });
    }

    // Delegate queue only.
    void reportProgress(TaskImpl& task, URLSessionDelegate* delegate) {
        const int64_t total = task.totalWritten.load();
        if (total == task.reportedTotal) return;
        const int64_t written = total - task.reportedTotal;
        task.reportedTotal = total;
        if (delegate) delegate->didWriteData(*this, task, written, total, task.expectedTotal.load());
    }

    // Delegate queue only; dropped after didBecomeInvalidWithError.
    std::shared_ptr<URLSessionDelegate> delegate_;

private:
    std::shared_ptr<URLSessionTask> makeTask(TaskImpl::Kind kind, URLRequest request, DataCompletion completion) {
        auto self = std::static_pointer_cast<SessionImpl>(shared_from_this());
        auto task = std::make_shared<TaskImpl>(nextIdentifier_.fetch_add(1), kind, std::move(request),
                                               std::move(completion), self, core_);
        task->maximumBodySize = configuration_.maximumDataTaskBodySize;
        bool queued = false;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            if (core_->invalidated) {
                // An invalidated session takes no new work: the task ends at once.
                task->cancelRequested.store(true);
                task->state_.store(URLSessionTask::State::Canceling);
                core_->enqueueLocked(task);
                queued = true;
            }
        }
        if (queued) core_->wake();
        return task;
    }

    const URLSessionConfiguration configuration_;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<SessionCore> core_;
    std::atomic<uint64_t> nextIdentifier_{1};
};

// ------------------------------------------------------------ task operations

void TaskImpl::resume() {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (state_.load() != State::Suspended) return;
        state_.store(State::Running);
        // Resumed after the session was invalidated: it ends as cancelled.
        if (core_->invalidated) cancelRequested.store(true);
        core_->enqueueLocked(shared_from_this());
    }
    core_->wake();
}

void TaskImpl::cancel() {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        State state = state_.load();
        if (state == State::Completed || state == State::Canceling) return;
        state_.store(State::Canceling);
        cancelRequested.store(true);
        // A task that never ran still ends through the worker, in order.
        if (state == State::Suspended) core_->enqueueLocked(shared_from_this());
    }
    core_->wake();
}

// ------------------------------------------------------------- worker thread

void SessionCore::run() {
    for (;;) {
        std::vector<std::shared_ptr<TaskImpl>> arrived;
        bool stop;
        {
            std::lock_guard<std::mutex> lock(mutex);
            arrived.swap(incoming);
            stop = stopping;
        }
        if (stop) {
            // Only a session nobody holds ends; its transfers go with it.
            for (auto& [handle, task] : active_) {
                curl_multi_remove_handle(multi_.get(), handle);
                task->easy.reset();
                task->file.reset();
                if (!task->filePath.empty()) ::unlink(task->filePath.c_str());
            }
            active_.clear();
            return;
        }

        for (auto& task : arrived) {
            if (task->cancelRequested.load()) {
                finish(task, urlError(URLErrorCancelled, task->request.url.absoluteString()));
            } else {
                start(task);
            }
        }

        std::vector<CURL*> cancelled;
        for (auto& [handle, task] : active_) {
            if (task->cancelRequested.load()) cancelled.push_back(handle);
        }
        for (CURL* handle : cancelled) finishTransfer(handle, CURLE_ABORTED_BY_CALLBACK);

        int running = 0;
        curl_multi_perform(multi_.get(), &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
            if (message->msg == CURLMSG_DONE) finishTransfer(message->easy_handle, message->data.result);
        }

        // Whatever arrived is on disk before the worker sleeps, and reported.
        bool progressOwed = false;
        for (auto& [handle, task] : active_) {
            if (task->kind != TaskImpl::Kind::Download) continue;
            if (!task->fileBuffer.empty() && !task->flushFile()) {
                finishTransfer(handle, CURLE_WRITE_ERROR);
                break;  // active_ changed; the next round looks again
            }
            postProgress(*task);
            if (task->totalWritten.load() != task->lastPostedTotal) progressOwed = true;
        }

        std::shared_ptr<SessionImpl> notify;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (invalidated && !invalidNotified && outstanding.empty() && incoming.empty()) {
                invalidNotified = true;
                notify = session.lock();
            }
        }
        if (notify) {
            SessionImpl::post(std::move(notify), [](SessionImpl& s) {
                std::shared_ptr<URLSessionDelegate> delegate = std::move(s.delegate_);
                if (delegate) delegate->didBecomeInvalidWithError(s, std::nullopt);
            });
        }

        // curl shortens the wait to its own timers (timeouts, low speed).
        int waitMs = active_.empty() ? 60 * 1000 : 1000;
        if (progressOwed) waitMs = 20;
        curl_multi_poll(multi_.get(), nullptr, 0, waitMs, nullptr);
    }
}

void SessionCore::postProgress(TaskImpl& task) {
    const int64_t total = task.totalWritten.load();
    if (total == task.lastPostedTotal) return;
    if (task.progressPosted.exchange(true)) return;  // the pending report will read the newest total
    task.lastPostedTotal = total;
    SessionImpl::post(task.session, [task = task.shared_from_this()](SessionImpl& s) {
        task->progressPosted.store(false);
        std::shared_ptr<URLSessionDelegate> delegate = s.delegate_;
        s.reportProgress(*task, delegate.get());
    });
}

bool SessionCore::setUp(TaskImpl& task, OptionalError& error) {
    const URLRequest& request = task.request;
    task.failingURL = request.url.absoluteString();
    const std::string& scheme = request.url.scheme();
    if ((scheme != "http" && scheme != "https") || request.url.host().empty()) {
        error = urlError(URLErrorUnsupportedURL, task.failingURL);
        return false;
    }

    task.easy.reset(curl_easy_init());
    if (!task.easy) {
        error = urlError(URLErrorUnknown, task.failingURL);
        return false;
    }
    CURL* easy = task.easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, task.failingURL.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TaskImpl::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &task);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &TaskImpl::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &task);

    const URLSessionConfiguration& configuration = task.session->configuration();
    const double timeout = request.timeoutInterval.value_or(configuration.timeoutIntervalForRequest);
    if (timeout > 0) {
        // Foundation's request timeout counts time without progress.
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(timeout * 1000)));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(timeout))));
    }

    const std::string method = request.HTTPMethod.empty() ? std::string("GET") : request.HTTPMethod;
    if (method == "GET" || method == "HEAD") {
        if (method == "HEAD") curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    } else {
        if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (method == "POST" || !request.HTTPBody.empty()) {
            static const char kEmpty[] = "";
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.HTTPBody.size()));
            curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS,
                             request.HTTPBody.empty() ? kEmpty : reinterpret_cast<const char*>(request.HTTPBody.data()));
        }
    }

    // The session's headers, then the request's; names match case-insensitively.
    std::map<std::string, std::pair<std::string, std::string>> headers;
    for (const auto& [name, value] : configuration.HTTPAdditionalHeaders) headers[lowercased(name)] = {name, value};
    for (const auto& [name, value] : request.headers) headers[lowercased(name)] = {name, value};
    using Policy = URLSessionConfiguration::CachePolicy;
    if (request.cachePolicy == Policy::ReloadIgnoringLocalCacheData ||
        configuration.requestCachePolicy == Policy::ReloadIgnoringLocalCacheData) {
        headers.try_emplace("cache-control", "Cache-Control", "no-cache");
        headers.try_emplace("pragma", "Pragma", "no-cache");
    }
    // No "Expect: 100-continue" round trip before a body.
    headers.try_emplace("expect", "Expect", "");
    curl_slist* list = nullptr;
    for (const auto& [key, header] : headers) {
        // "Name;" is how curl sends a header with an empty value; "Expect:" removes curl's own.
        std::string line = header.second.empty() ? (key == "expect" ? header.first + ":" : header.first + ";")
                                                 : header.first + ": " + header.second;
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (!grown) {
            curl_slist_free_all(list);
            error = urlError(URLErrorUnknown, task.failingURL);
            return false;
        }
        list = grown;
    }
    task.headerList.reset(list);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    // Like Foundation, a data task asks for every encoding libcurl can decode
    // and hands over the decoded body, unless the request chose its own.
    // Downloads keep the bytes the server sent, which their progress counts.
    if (task.kind == TaskImpl::Kind::Data && headers.count("accept-encoding") == 0)
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");

    if (task.kind == TaskImpl::Kind::Download && !task.resumePath.empty()) {
        int fd = ::open(task.resumePath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            error = urlError(URLErrorCannotCreateFile, task.failingURL);
            return false;
        }
        task.file = UniqueFd(fd);
        task.filePath = task.resumePath;
        task.fileBuffer.reserve(kFileBufferSize);
    } else if (task.kind == TaskImpl::Kind::Download) {
        const std::string& folder = configuration.downloadDirectory;
        std::string path = (folder.empty() ? temporaryDirectory() : folder) + "CFNetworkDownload_XXXXXX.tmp";
        int fd = ::mkstemps(path.data(), 4);
        if (fd < 0) {
            error = urlError(URLErrorCannotCreateFile, task.failingURL);
            return false;
        }
        task.file = UniqueFd(fd);
        task.filePath = path;
        task.fileBuffer.reserve(kFileBufferSize);
    }
    return true;
}

void SessionCore::start(const std::shared_ptr<TaskImpl>& task) {
    OptionalError error;
    if (!setUp(*task, error)) {
        finish(task, std::move(error));
        return;
    }
    if (curl_multi_add_handle(multi_.get(), task->easy.get()) != CURLM_OK) {
        finish(task, urlError(URLErrorUnknown, task->failingURL));
        return;
    }
    active_[task->easy.get()] = task;
}

// A download that a dropped connection cut short can go on where it stopped
// (downloadTaskWithResumeData) when the server named the version it sent: the
// partial file is kept and the error carries what resuming needs, as
// NSURLSessionDownloadTaskResumeData.
void SessionCore::addResumeData(TaskImpl& task, CURLcode result, Error& error) {
    if (task.kind != TaskImpl::Kind::Download || task.filePath.empty() || task.cancelRequested.load()) return;
    const bool cutShort = result == CURLE_PARTIAL_FILE || result == CURLE_RECV_ERROR ||
                          result == CURLE_OPERATION_TIMEDOUT || result == CURLE_GOT_NOTHING;
    if (!cutShort || (task.lastStatus != 200 && task.lastStatus != 206)) return;
    auto etag = task.responseHeaders.find("etag");
    auto modified = task.responseHeaders.find("last-modified");
    std::string validator = etag != task.responseHeaders.end() && etag->second.rfind("W/", 0) != 0 ? etag->second
                            : modified != task.responseHeaders.end()                               ? modified->second
                                                                                                   : std::string();
    if (validator.empty() || !task.flushFile() || task.totalWritten.load() <= 0) return;
    Value info = error.userInfo.isDictionary() ? error.userInfo : Value::dictionary({});
    info.setObject(Value::dictionary({{"url", Value(task.request.url.absoluteString())},
                                            {"path", Value(task.filePath)},
                                            {"offset", Value(task.totalWritten.load())},
                                            {"validator", Value(validator)}}),
                   "NSURLSessionDownloadTaskResumeData");
    error.userInfo = info;
    task.keepFile = true;
}

void SessionCore::finishTransfer(CURL* handle, CURLcode result) {
    auto found = active_.find(handle);
    if (found == active_.end()) return;
    std::shared_ptr<TaskImpl> task = std::move(found->second);
    active_.erase(found);
    curl_multi_remove_handle(multi_.get(), handle);

    if (task->cancelRequested.load()) result = CURLE_ABORTED_BY_CALLBACK;
    if (result == CURLE_OK && task->kind == TaskImpl::Kind::Download) {
        if (!task->flushFile() || !task->file.close()) {
            if (task->writeErrno == 0) task->writeErrno = errno;
            result = CURLE_WRITE_ERROR;
        }
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (result == CURLE_OK && status == 0) result = CURLE_WEIRD_SERVER_REPLY;
    // The address after redirects, which both a response and an error name.
    long redirects = 0;
    curl_easy_getinfo(handle, CURLINFO_REDIRECT_COUNT, &redirects);
    char* effective = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective);
    const std::string finalURL = redirects > 0 && effective ? std::string(effective) : task->failingURL;
    auto makeResponse = [&](std::map<std::string, std::string> headers) {
        HTTPURLResponse response;
        response.url = finalURL;
        response.statusCode = status;
        response.headers = std::move(headers);
        response.expectedContentLength = task->expectedTotal.load();
        return response;
    };
    if (status != 0 && task->kind == TaskImpl::Kind::Download) task->setResponse(makeResponse(task->responseHeaders));

    OptionalError error;
    if (result != CURLE_OK) {
        const std::string& failing = finalURL;
        long code = result == CURLE_WRITE_ERROR && task->writeErrno != 0 ? long(URLErrorCannotWriteToFile)
                    : task->bodyTooLarge                                  ? long(URLErrorDataLengthExceedsMaximum)
                                                                          : urlErrorCodeForCurl(result);
        error = urlError(code, failing);
        addResumeData(*task, result, *error);
    } else if (task->kind == TaskImpl::Kind::Data) {
        HTTPURLResponse response = makeResponse(std::move(task->responseHeaders));
        task->easy.reset();
        task->headerList.reset();
        std::shared_ptr<SessionImpl> session = std::move(task->session);
        auto completion = std::move(task->completion);
        task->state_.store(URLSessionTask::State::Completed);
        SessionImpl::post(std::move(session), [task, completion, body = std::move(task->body),
                                               response = std::move(response)](SessionImpl& s) {
            if (completion) {
                completion(body, response, std::nullopt);
            } else if (auto delegate = s.delegate_) {
                delegate->didCompleteWithError(s, *task, std::nullopt);
            }
        });
        std::lock_guard<std::mutex> lock(mutex);
        outstanding.erase(task->identifier_);
        return;
    }
    task->easy.reset();
    task->headerList.reset();
    finish(task, std::move(error));
}

// Ends a task: an error, or a download that is on disk.
void SessionCore::finish(const std::shared_ptr<TaskImpl>& task, OptionalError error) {
    task->easy.reset();
    task->headerList.reset();
    task->file.reset();
    std::string path = std::move(task->filePath);
    if (error && !path.empty()) {
        if (!task->keepFile) ::unlink(path.c_str());
        path.clear();
    }
    std::shared_ptr<SessionImpl> session = std::move(task->session);
    auto completion = std::move(task->completion);
    task->state_.store(URLSessionTask::State::Completed);
    if (session) {
        if (task->kind == TaskImpl::Kind::Download && !error) {
            SessionImpl::post(std::move(session), [task, path](SessionImpl& s) {
                // The file goes away right after the callback, even if it throws.
                struct RemoveFile {
                    const std::string& path;
                    bool done = false;
                    void now() {
                        if (!done) ::unlink(path.c_str());
                        done = true;
                    }
                    ~RemoveFile() { now(); }
                } remove{path};
                std::shared_ptr<URLSessionDelegate> delegate = s.delegate_;
                s.reportProgress(*task, delegate.get());
                if (delegate) delegate->didFinishDownloadingToURL(s, *task, path);
                remove.now();
                if (delegate) delegate->didCompleteWithError(s, *task, std::nullopt);
            });
        } else {
            SessionImpl::post(std::move(session), [task, completion, error](SessionImpl& s) {
                if (completion) {
                    completion(std::nullopt, std::nullopt, error);
                } else if (auto delegate = s.delegate_) {
                    delegate->didCompleteWithError(s, *task, error);
                }
            });
        }
    } else if (!path.empty()) {
        ::unlink(path.c_str());
    }
    std::lock_guard<std::mutex> lock(mutex);
    outstanding.erase(task->identifier_);
}

}  // namespace

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(URLSessionConfiguration configuration,
                                                                 std::shared_ptr<URLSessionDelegate> delegate,
                                                                 std::shared_ptr<DispatchQueue> delegateQueue) {
    initializeCurlOnce();
    if (!delegateQueue) delegateQueue = DispatchQueue::serial("com.apple.NSURLSession-delegate");
    auto session = std::make_shared<SessionImpl>(std::move(configuration), std::move(delegate), std::move(delegateQueue));
    session->attach(session);
    return session;
}

}  // namespace platform
