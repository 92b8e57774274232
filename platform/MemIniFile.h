// TMemIniFile: an INI file held in memory, read whole when created and written whole on UpdateFile.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

// Sections and keys keep the order of the file; those the program never touches are written back as
// they were. Names of sections and keys compare without regard to ASCII case. Lines inside a section
// that are not key=value (comments, stray text) are kept in place; text before the first section is
// kept at the head of the file.
class TMemIniFile {
public:
    // Reads the whole file. A missing file reads as empty; a file that exists but cannot be read throws
    // std::runtime_error naming the file and the system error.
    explicit TMemIniFile(std::string FileName);

    const std::string& FileName() const { return FFileName; }

    // The value as a decimal (or 0x/$ hexadecimal) integer; `Default` when the key is absent or its
    // value is not an integer that fits.
    int ReadInteger(const std::string& Section, const std::string& Ident, int Default) const;
    std::string ReadString(const std::string& Section, const std::string& Ident,
                           const std::string& Default) const;
    bool SectionExists(const std::string& Section) const;
    bool ValueExists(const std::string& Section, const std::string& Ident) const;

    // A new key goes to the end of its section; a new section to the end of the file.
    void WriteInteger(const std::string& Section, const std::string& Ident, int Value);
    void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);

    // Writes the whole file: a temporary file in the same folder, flushed to disk, then renamed over the
    // old one, so a failed or interrupted save leaves the old file intact. Throws std::runtime_error
    // naming the file and the system error.
    void UpdateFile();

    // The text UpdateFile writes.
    std::string Text() const;

private:
    struct TLine {
        std::string Name;  // key name; empty for a kept line
        std::string Value; // value, or the whole kept line
        bool IsKey = false;
    };
    struct TSection {
        std::string Name;
        std::vector<TLine> Lines;
        std::unordered_map<std::string, std::size_t> Keys; // folded name -> first line with it
    };

    void Parse(const std::string& text);
    TSection& SectionFor(const std::string& Section);
    const TLine* Find(const std::string& Section, const std::string& Ident) const;

    std::string FFileName;
    std::vector<std::string> Preamble;
    std::vector<TSection> Sections;
    std::unordered_map<std::string, std::size_t> SectionIndex; // folded name -> position in Sections
};
