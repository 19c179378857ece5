#include "support/stream.h"

#include "support/platform.h"
#include "support/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

StreamBuffer* buffer_new() {
    auto* b = new (std::nothrow) StreamBuffer;
    if (!b)
        return nullptr;
    b->base = static_cast<uint8_t*>(std::malloc(STREAM_BUFFER_SIZE));
    if (!b->base) {
        delete b;
        return nullptr;
    }
    b->cur = b->end = b->base;
    b->limit = b->base + STREAM_BUFFER_SIZE;
    return b;
}

void buffer_free(StreamBuffer* b) {
    if (!b)
        return;
    if (b->owns_storage)
        std::free(b->base);
    delete b;
}

bool is_reading(const Stream* s) { return s && s->mode == 0; }

// Empties the buffer and reads the next block of the file. False when no
// more data is available; meeting the end of the file sets the error flag.
bool refill(Stream* s) {
    if (!s || s->error || !is_reading(s))
        return false;
    StreamBuffer* b = s->buffer;
    b->cur = b->end = b->base;
    size_t got = std::fread(b->base, 1, static_cast<size_t>(b->limit - b->base), s->file);
    if (got == 0) {
        s->error = 1;
        return false;
    }
    b->end += got;
    return true;
}

} // namespace

namespace {

// The file as stream_open opens it: by fopen, or without following a link
// and with only this user's access to a new file.
FILE* open_file(const std::string& name, int mode, bool privately) {
    const char* how = mode == 0 ? "rb" : mode == 1 ? "wb" : "ab";
    if (!privately)
        return platform_fopen(name, how);
    int flags = mode == 0   ? PLATFORM_READ
                : mode == 1 ? PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_TRUNCATE
                            : PLATFORM_WRITE | PLATFORM_CREATE | PLATFORM_APPEND;
    int fd = platform_open(name, flags | PLATFORM_NO_LINK, 0600);
    if (fd < 0)
        return nullptr;
    FILE* f = platform_fdopen(fd, how);
    if (!f)
        platform_close(fd);
    return f;
}

Stream* open_stream(const char16_t* path, int mode, bool privately) {
    if (!path)
        return nullptr;
    std::string name = wtext_to_utf8(path);
    auto* s = new (std::nothrow) Stream;
    if (!s)
        return nullptr;
    s->buffer = buffer_new();
    if (!s->buffer) {
        delete s;
        return nullptr;
    }
    s->file = open_file(name, mode, privately);
    if (!s->file) {
        buffer_free(s->buffer);
        delete s;
        return nullptr;
    }
    s->mode = mode == 0 ? 0 : 1;
    return s;
}

} // namespace

Stream* stream_open(const char16_t* path, int mode) {
    return open_stream(path, mode, false);
}

Stream* stream_open_private(const char16_t* path, int mode) {
    return open_stream(path, mode, true);
}

void stream_close(Stream* s) {
    if (!s)
        return;
    if (--s->refs != 0)
        return;
    if (s->mode == 1)
        stream_flush(s);
    std::fclose(s->file);
    buffer_free(s->buffer);
    delete s;
}

int32_t stream_read(Stream* s, void* dst, int32_t n) {
    if (!s || !dst || n <= 0 || s->error || !is_reading(s))
        return -1;
    auto* out = static_cast<uint8_t*>(dst);
    int32_t done = 0;
    StreamBuffer* b = s->buffer;
    while (done < n) {
        // A large read with nothing buffered goes straight into the caller's
        // memory: the same bytes and end-of-file handling, one copy less.
        if (b->cur == b->end && n - done >= STREAM_BUFFER_SIZE) {
            size_t got = std::fread(out + done, 1, static_cast<size_t>(n - done), s->file);
            if (got == 0) {
                s->error = 1;
                break;
            }
            done += static_cast<int32_t>(got);
            continue;
        }
        if (b->cur == b->end && !refill(s))
            break;
        size_t avail = static_cast<size_t>(b->end - b->cur);
        size_t take = std::min(avail, static_cast<size_t>(n - done));
        std::memcpy(out + done, b->cur, take);
        b->cur += take;
        done += static_cast<int32_t>(take);
    }
    return done > 0 ? done : -1;
}

int32_t stream_read_line(Stream* s, char* dst, int32_t size) {
    if (!dst || size <= 0)
        return -1;
    std::memset(dst, 0, static_cast<size_t>(size));
    if (!s || size == 1)
        return -1;
    StreamBuffer* b = s->buffer;
    int32_t i = 0;
    int32_t consumed = 0;
    for (;;) {
        if (b->cur == b->end && !refill(s))
            break;
        char c = static_cast<char>(*b->cur++);
        ++consumed;
        if (c == '\r') {
            // A CR LF pair ends the line once; the LF is not counted.
            if ((b->cur != b->end || refill(s)) && *b->cur == '\n')
                ++b->cur;
            break;
        }
        if (c == '\n')
            break;
        dst[i++] = c;
        if (i >= size - 1)
            break;
    }
    dst[i] = 0;
    return consumed > 0 ? consumed : -1;
}

int stream_flush(Stream* s) {
    if (!s || s->mode != 1 || s->error)
        return 0;
    StreamBuffer* b = s->buffer;
    while (b->cur < b->end) {
        size_t put = std::fwrite(b->cur, 1, static_cast<size_t>(b->end - b->cur), s->file);
        if (put == 0) {
            s->error = 1;
            b->cur = b->end = b->base;
            return 0;
        }
        b->cur += put;
    }
    b->cur = b->end = b->base;
    if (std::fflush(s->file) != 0) {
        s->error = 1;
        return 0;
    }
    return 1;
}

int32_t stream_write(Stream* s, const void* src, int32_t n) {
    if (!s || !src || n <= 0 || s->error || s->mode != 1)
        return -1;
    auto* in = static_cast<const uint8_t*>(src);
    StreamBuffer* b = s->buffer;
    int32_t done = 0;
    while (done < n) {
        if (b->end == b->limit && !stream_flush(s))
            break;
        size_t room = static_cast<size_t>(b->limit - b->end);
        size_t take = std::min(room, static_cast<size_t>(n - done));
        std::memcpy(b->end, in + done, take);
        b->end += take;
        done += static_cast<int32_t>(take);
    }
    return done > 0 ? done : -1;
}

int32_t stream_print(Stream* s, const char* format, ...) {
    if (!s || !format)
        return -1;
    char local[1024];
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(local, sizeof local, format, args);
    va_end(args);
    if (len < 0)
        return -1;
    if (len == 0)
        return -1; // nothing to write is reported like a refused write
    if (static_cast<size_t>(len) < sizeof local)
        return stream_write(s, local, len);
    // Too long for the local buffer: format again into one large enough.
    char* big = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
    if (!big)
        return -1;
    va_start(args, format);
    std::vsnprintf(big, static_cast<size_t>(len) + 1, format, args);
    va_end(args);
    int32_t r = stream_write(s, big, len);
    std::free(big);
    return r;
}

int32_t stream_tell(Stream* s) {
    if (!s || s->error)
        return -1;
    long pos = std::ftell(s->file);
    if (pos < 0 || pos > INT32_MAX) {
        s->error = 1;
        return -1;
    }
    StreamBuffer* b = s->buffer;
    long pending = static_cast<long>(b->end - b->cur);
    return static_cast<int32_t>(s->mode == 0 ? pos - pending : pos + pending);
}

int32_t stream_seek(Stream* s, int32_t offset, int origin) {
    if (!s || s->error)
        return -1;
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    if (origin < 0 || origin > 2 || (s->mode == 1 && !stream_flush(s)) ||
        std::fseek(s->file, offset, whence) != 0) {
        s->error = 1;
        return -1;
    }
    StreamBuffer* b = s->buffer;
    b->cur = b->end = b->base;
    long pos = std::ftell(s->file);
    if (pos < 0 || pos > INT32_MAX) {
        s->error = 1;
        return -1;
    }
    return static_cast<int32_t>(pos);
}

const char* stream_mode_special_kind(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return nullptr;
    case S_IFIFO:
        return "a FIFO";
    case S_IFDIR:
        return "a folder";
    case S_IFCHR:
        return "a character device";
#ifdef S_IFBLK
    case S_IFBLK:
        return "a block device";
#endif
#ifdef S_IFSOCK
    case S_IFSOCK:
        return "a socket";
#endif
    default:
        return "a special file";
    }
}

const char* stream_path_special_kind(const char* path) {
    struct stat st {};
    if (!path || ::stat(path, &st) != 0)
        return nullptr;
    return stream_mode_special_kind(st.st_mode);
}
