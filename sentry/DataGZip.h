// gzip compression and decompression of byte buffers with zlib: stands in
// for NSData's gzippedWithCompressionLevel:error: and gunzippedWithError:
// (the GZip category).
//
// Failures come back as nothing plus an error in the slot (when one is
// given): domain "NSData", code 0, described as "deflateInit2: <message>",
// "deflate: <message>", "inflateInit2: <message>" or "inflate: <message>"
// with zlib's status turned into text ("Invalid data", "Output buffer too
// small", ...). Output that does not fit in memory fails the same way, as
// "deflate: Insufficient memory" or "inflate: Insufficient memory"; nothing
// is thrown. Success clears the slot. The input is never changed.
#pragma once

#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// `data` as one gzip member compressed at zlib `level` (-1 for zlib's
// default, 0 to 9). Empty input gives empty output, not an empty member.
// The output space is fixed at length * 1.02 + 50 bytes, which holds even
// incompressible input; output that would not fit is reported as a
// "deflate: ..." error, never returned cut short.
std::optional<platform::Value::Bytes> gzippedWithCompressionLevel(const platform::Value::Bytes& data, int level,
                                                                  platform::OptionalError* error);

// The payload of the first gzip member in `data` (bytes after it are
// ignored). Only the gzip format is accepted: zlib-wrapped or raw deflate
// data fails with "inflate: Invalid data", and a member cut short with
// "inflate: Output buffer too small". Empty input gives empty output.
std::optional<platform::Value::Bytes> gunzippedWithError(const platform::Value::Bytes& data,
                                                         platform::OptionalError* error);
