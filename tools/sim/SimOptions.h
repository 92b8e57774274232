// Command line of pagewright-sim: what the simulated boot loader reports and how it misbehaves.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SimOptions {
    std::string File; // the update file whose pages the boot loader asks for
    std::string Port; // the name of the virtual port to publish

    // What the page requests report; unset fields come from the update file.
    std::optional<std::uint8_t> HwMajor;
    std::optional<std::uint16_t> HwMinor;
    std::optional<std::uint8_t> HwRevision;
    std::optional<std::uint16_t> SwVersion;
    bool Loading = false; // HwMajor 255: the program makes no version checks
    std::uint8_t PageFlags = 0;

    std::uint32_t Baud = 115200;
    std::chrono::milliseconds PowerOnDelay{300};
    std::chrono::milliseconds Timeout{1500};
    std::uint32_t MaxRetries = 5;

    // Misbehaviour; page numbers count from 0.
    std::uint32_t Noise = 0;
    std::uint32_t Seed = 1;
    std::optional<std::uint32_t> BrokenCheck; // every K-th frame sent has a broken check
    std::optional<std::uint16_t> BadPageAt;
    std::optional<std::uint16_t> DefectiveAfter;
    std::optional<std::uint16_t> SilentAfter;
    std::optional<std::uint16_t> HangupAfter;
    std::optional<std::uint16_t> UnknownTypeAt;
    std::optional<std::uint16_t> PowerCycleAt;
    std::chrono::milliseconds PowerOff{5000};

    bool Once = false;
    bool Quiet = false;
    std::string Report; // JSON report file, empty for none
    bool Help = false;
};

struct SimOptionsResult {
    bool Ok = false;
    SimOptions Options;
    std::string Error; // names the option and the value when not Ok
};

// Parses argv[1..argc-1]. Options take their value as the next argument or after '='.
SimOptionsResult ParseSimOptions(const std::vector<std::string>& args);

// Checks the options against the update file's page count; empty when they fit.
std::string CheckAgainstFile(const SimOptions& options, std::uint16_t PageCount);

// The text of --help.
std::string SimHelpText();
