// The command exchange with the unit: 27-byte command frames inside 65-byte
// reports, optional 64-byte data reports, and one 27-byte reply per command.
//
// Frame (little-endian, report bytes 1..27):
//   0 command, 1 length (0x17), 2 A, 6 B, 10 C, 14 mode (0/1), 15 D,
//   19 "HIDC", 23 u32 sum of bytes 0..22.
// In a reply, A is the status word and B the value word.
#pragma once

#include <cstdint>

#include "common_t73/QV_HidChannel.h"

// Validity marker of the unit's records; first fixed argument of the guarded
// commands. The records and the scramblers declare it behind the same guard.
#ifndef TREVIK_RECORD_MAGIC_DEFINED
#define TREVIK_RECORD_MAGIC_DEFINED
inline constexpr uint32_t RECORD_MAGIC = 0x6B2D9E41;
#endif
// Second fixed argument of the guarded commands.
inline constexpr uint32_t COMMAND_ACCESS_WORD = 0x5E17C0A3;

inline constexpr uint8_t CMD_ERASE = 0xF1;
inline constexpr uint8_t CMD_READ = 0xF2;
inline constexpr uint8_t CMD_WRITE = 0xF3;
inline constexpr uint8_t CMD_FINISH = 0xF4;
inline constexpr uint8_t CMD_BOOT_VERSION = 0xF7;
inline constexpr uint8_t CMD_REJECT = 0xF9;
inline constexpr uint8_t CMD_FLASH_SIZE = 0xFB;

// Replies of units with this boot version or newer carry a status word that
// must be 0.
inline constexpr uint32_t STATUS_CHECK_MIN_BOOT = 1046;

inline constexpr int CMD_FRAME_SIZE = 27;
inline constexpr uint8_t CMD_FRAME_LENGTH = 0x17;
inline constexpr int CMD_DATA_SIZE = 64; // payload bytes of one data report
inline constexpr uint8_t CMD_FILLER = 0xCC;

// Offsets of the frame's fields.
inline constexpr int CMD_OFF_COMMAND = 0;
inline constexpr int CMD_OFF_LENGTH = 1;
inline constexpr int CMD_OFF_A = 2; // reply: status word
inline constexpr int CMD_OFF_B = 6; // reply: value word
inline constexpr int CMD_OFF_C = 10;
inline constexpr int CMD_OFF_MODE = 14;
inline constexpr int CMD_OFF_D = 15;
inline constexpr int CMD_OFF_SIGNATURE = 19;
inline constexpr int CMD_OFF_CHECKSUM = 23;

// Builds a frame into frame (27 bytes): any non-zero mode is sent as 1.
// Does nothing for a null frame.
void QV_Cmd_buildFrame(uint8_t* frame, uint8_t command, uint32_t a, uint32_t b, uint32_t c,
                       int mode, uint32_t d);

// 1 when frame (27 bytes) has length 0x17, signature "HIDC" and a matching
// checksum; 0 otherwise or for null. The status word is not looked at.
int QV_Cmd_frameIsValid(const uint8_t* frame);

// Little-endian u32 at offset of a frame.
uint32_t QV_Cmd_frameWord(const uint8_t* frame, int offset);

// Builds the frame and sends it in one report (report id 0, frame, 0xCC
// filler), after dropping input left over from an abandoned transfer.
// Returns 1 sent, 0 when the channel or its handle is missing, its stop flag
// is raised or the write failed.
int QV_Cmd_sendFrame(QV_HidChannel* channel, uint8_t command, uint32_t a, uint32_t b, uint32_t c,
                     int mode, uint32_t d);

// Reads one reply report; reply (27 bytes), when given, receives the frame.
// Returns 1 valid, 0 when nothing arrived, the frame is malformed or, for
// boot versions from 1046, its status word is not 0.
int QV_Cmd_readReply(QV_HidChannel* channel, uint8_t* reply);

// Sends one data report with the first min(remaining, 64) bytes (the rest
// 0xCC); moved receives the data bytes written. Returns 1, or 0 when the
// channel, handle or data is missing, remaining is not positive, the stop
// flag is raised or the write failed.
int QV_Cmd_sendData(QV_HidChannel* channel, const uint8_t* data, uint32_t remaining,
                    uint32_t* moved);

// Erases length bytes from address. Returns 0 done; -1 address not a multiple
// of 4096; -2 length not a multiple of 4096; -3 frame not sent (also no
// channel or handle); -4 reply invalid.
int QV_Cmd_erase(QV_HidChannel* channel, uint32_t address, uint32_t length);

// Reads length bytes from address into destination. Returns 0 done; -1
// address not a multiple of 256; -2 length not a multiple of 256; -3 frame not
// sent (also no channel, handle, or destination for a non-zero length); -4 a
// data report failed; -5 closing reply invalid.
int QV_Cmd_read(QV_HidChannel* channel, uint32_t address, uint8_t* destination, uint32_t length,
                int mode);

// Writes length bytes of data at address; c = unpadded length when the unit
// is to unscramble, d = checksum of the data. Same codes as QV_Cmd_read, -4
// meaning a data report could not be written.
int QV_Cmd_write(QV_HidChannel* channel, uint32_t address, const uint8_t* data, uint32_t length,
                 uint32_t c, int mode, uint32_t d);

// End of a write run. 1 when the frame went out and the reply is valid, else 0.
int QV_Cmd_finish(QV_HidChannel* channel);

// Refuses the attached unit. 1/0 as QV_Cmd_finish.
int QV_Cmd_reject(QV_HidChannel* channel);

// The unit's boot version; 0 when sending or the reply failed.
uint32_t QV_Cmd_getBootVersion(QV_HidChannel* channel);

// The unit's flash size in bytes; 0 when sending or the reply failed.
uint32_t QV_Cmd_getFlashSize(QV_HidChannel* channel);
