#include "platform/net/URLErrors.h"

#include "platform/net/URLSession.h"

namespace platform::net_internal {

std::string describeURLError(long code) {
    switch (code) {
        case URLErrorCancelled: return "cancelled";
        case URLErrorBadURL: return "bad URL";
        case URLErrorTimedOut: return "The request timed out.";
        case URLErrorUnsupportedURL: return "unsupported URL";
        case URLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
        case URLErrorCannotConnectToHost: return "Could not connect to the server.";
        case URLErrorNetworkConnectionLost: return "The network connection was lost.";
        case URLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
        case URLErrorBadServerResponse: return "bad server response";
        case URLErrorDataLengthExceedsMaximum: return "resource exceeds maximum size";
        case URLErrorSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case URLErrorServerCertificateUntrusted: return "The certificate for this server is invalid.";
        case URLErrorCannotCreateFile: return "cannot create file";
        case URLErrorCannotWriteToFile: return "cannot write file";
        default: return "unknown error";
    }
}

Error urlError(long code, const std::string& failingURL) {
    return Error(kURLErrorDomain, code, describeURLError(code),
                 Value::dictionary({{"NSErrorFailingURLStringKey", Value(failingURL)}}));
}

long urlErrorCodeForCurl(CURLcode result) {
    switch (result) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return URLErrorUnsupportedURL;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return URLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return URLErrorCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return URLErrorTimedOut;
        case CURLE_PARTIAL_FILE:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
            return URLErrorNetworkConnectionLost;
        case CURLE_TOO_MANY_REDIRECTS:
            return URLErrorHTTPTooManyRedirects;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return URLErrorBadServerResponse;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
            return URLErrorSecureConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return URLErrorServerCertificateUntrusted;
        case CURLE_ABORTED_BY_CALLBACK:
            return URLErrorCancelled;
        default:
            return URLErrorUnknown;
    }
}

}  // namespace platform::net_internal
