// Register presets (--set and --presets files).
//
//   UNIT:hREG=VALUE         holding register (0..1023, 5000..13191), VALUE
//   UNIT:iREG=VALUE         input register (0..1023)     0..65535 or -32768..-1
//   UNIT:hREG=TYPE:VALUE    TYPE u16, i16, u32, i32 or f32
//   UNIT:hREG.BIT=0|1       one bit, 0 the least significant
//
// A 32-bit value fills two registers, its lower 16 bits in REG and its upper
// 16 bits in REG + 1: the order in which the driver lays out a double word.
#ifndef SIM_PRESETS_H
#define SIM_PRESETS_H

#include <cstdint>
#include <string>
#include <vector>

class Memory;

struct Preset {
    std::string text; // as written, for messages
    int unit = 0;
    char kind = 'h';             // 'h' holding (extended from 5000 on) or 'i' input
    int reg = 0;
    int bit = -1;                // 0..15 for a one-bit preset, whose one word is 0 or 1
    std::vector<uint16_t> words; // register values from `reg` on, lower 16 bits first
};

bool parsePreset(const std::string &text, Preset &preset, std::string &error);

// Appends the presets of a file: one a line, blank lines and everything
// after a '#' ignored. The message names the line, not the file.
bool readPresetFile(const std::string &path, std::vector<Preset> &presets, std::string &error);

// Fails on a preset for a unit that is not served or a register that does
// not exist.
bool applyPresets(const std::vector<Preset> &presets, Memory &memory, std::string &error);

#endif
