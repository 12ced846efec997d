#include "server/Gzip.h"

#include <zlib.h>

#include <new>

namespace tallyglass::Gzip {

Result inflate(std::string_view compressed, std::size_t maxBytes)
{
    Result result;
    z_stream stream{};
    // 16 + MAX_WBITS: the gzip wrapper, not zlib's own.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return result;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    char chunk[64 * 1024];
    int rc = Z_OK;
    while (true) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        rc = ::inflate(&stream, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            break;
        const std::size_t produced = sizeof chunk - stream.avail_out;
        if (result.data.size() + produced > maxBytes) {
            result.status = Status::tooLarge;
            result.data.clear();
            inflateEnd(&stream);
            return result;
        }
        result.data.append(chunk, produced);
        if (rc == Z_STREAM_END) {
            if (stream.avail_in == 0)
                break;
            // Another member follows (what `cat a.gz b.gz` makes).
            if (inflateReset(&stream) != Z_OK)
                break;
            continue;
        }
        if (stream.avail_in == 0 && produced == 0)
            break; // the input ended before the stream did
    }
    inflateEnd(&stream);
    if (rc == Z_STREAM_END && stream.avail_in == 0)
        result.status = Status::ok;
    else
        result.data.clear();
    return result;
}

std::string deflate(std::string_view data)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc(); // zlib fails to start only without memory
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    ::deflate(&stream, Z_FINISH); // the bound leaves room for the whole stream in one call
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

} // namespace tallyglass::Gzip
