// Buffered byte streams over files.
//
// Every package read, archive extraction, version-file read and text dump
// goes through a Stream. Positions and counts are 32-bit signed; -1 is the
// failure value. The error flag is sticky: once a file operation fails or a
// refill meets the end of the file, every later read, write, tell and seek
// on the stream fails until it is closed.
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr int STREAM_BUFFER_SIZE = 1024;

struct StreamBuffer {
    int32_t refs = 1;
    uint32_t owns_storage = 1;
    uint8_t* base = nullptr;
    uint8_t* cur = nullptr;   // reading: next unread byte; writing: first byte not yet in the file
    uint8_t* end = nullptr;   // reading: end of what was read; writing: where the next byte goes
    uint8_t* limit = nullptr; // end of the storage
};

struct Stream {
    uint8_t refs = 1;
    uint8_t kind = 0; // 0 = file
    uint8_t mode = 0; // 0 = reading, 1 = writing (also for append)
    int32_t error = 0;
    StreamBuffer* buffer = nullptr;
    FILE* file = nullptr;
};

// Opens a UTF-16 path: mode 0 reads ("rb"), 1 creates or truncates ("wb"),
// any other value appends ("ab") and counts as writing. Returns null when
// the file cannot be opened or memory cannot be had (nothing stays allocated).
Stream* stream_open(const char16_t* path, int mode);

// stream_open for a file of the tool's temporary directory: a link at the
// name is refused, and a file it creates is this user's alone (0600).
Stream* stream_open_private(const char16_t* path, int mode);

// Drops one reference; at zero flushes a writing stream (a failed flush is
// not reported), closes the file and frees the stream. Null is ignored.
void stream_close(Stream* s);

// Copies up to n bytes. Returns the count copied, or -1 when none could be
// (null arguments, n <= 0, end of file, error flag set).
int32_t stream_read(Stream* s, void* dst, int32_t n);

// Reads one line ending in CR, LF or CR LF into dst (size bytes, always
// terminated, the line ending not stored). Returns the bytes consumed (the LF
// of a CR LF pair not counted), or -1 when no byte could be read.
int32_t stream_read_line(Stream* s, char* dst, int32_t size);

// Appends n bytes, flushing whenever the buffer is full. Returns the count
// accepted, or -1 when none was (null arguments and n <= 0 included).
int32_t stream_write(Stream* s, const void* src, int32_t n);

// Hands buffered bytes to the file. Returns 1, or 0 on failure or when the
// stream is not writing.
int stream_flush(Stream* s);

// printf-style formatting, then stream_write of the text without terminator.
// Returns what stream_write returns; -1 on null arguments or a format failure.
int32_t stream_print(Stream* s, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The logical position, or -1 (the error flag set when the file position
// cannot be had).
int32_t stream_tell(Stream* s);

// origin 0 = start, 1 = current file position, 2 = end. Empties the buffer
// and returns the new absolute position; -1 with the error flag set on failure.
int32_t stream_seek(Stream* s, int32_t offset, int origin);

// What a path names when it is there but is no regular file (following
// links): "a FIFO", "a folder", "a character device", "a block device" or
// "a socket" ("a special file" for any other kind). Null for a regular file
// or a path that names nothing. A read of a FIFO or a device may never end,
// so such a path is refused before it is opened.
const char* stream_path_special_kind(const char* path);

// The same for the file type bits of a stat result's st_mode.
const char* stream_mode_special_kind(unsigned mode);
