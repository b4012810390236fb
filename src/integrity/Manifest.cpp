#include "integrity/Manifest.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace qem {

namespace {

const char* const header3 = "qem manifest 3";
const char* const header2 = "qem manifest 2";
const char* const header1 = "qempart manifest 1";

bool parseInteger(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    char* end = nullptr;
    value = strtoll(text.c_str(), &end, 10);
    return end == text.c_str() + text.size();
}

bool parseHex(const std::string& text, size_t digits, uint64_t& value) {
    if (text.size() != digits) return false;
    for (const char c : text)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    value = strtoull(text.c_str(), nullptr, 16);
    return true;
}

}  // namespace

std::string hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "%0*" PRIx64, digits, value);
    return text;
}

std::string Manifest::text() const {
    std::string t = std::string(version == 2 ? header2 : header3) + "\n";
    t += "program " + program + "\n";
    t += "channels " + std::to_string(channels) + "\n";
    t += "density-code " + std::to_string(densityCode) + "\n";
    t += "users " + std::to_string(users) + "\n";
    t += "seed " + std::to_string(seed) + "\n";
    t += "phase " + std::to_string(phase) + "\n";
    t += "parts " + std::to_string(parts) + "\n";
    t += "part " + std::to_string(part) + "\n";
    if (!compression.empty()) t += "compression " + compression + "\n";
    for (const ManifestFile& f : files) {
        t += "file " + f.name + " " + std::to_string(f.lines) + " " + std::to_string(f.bytes) + " " + hex(f.crc, 8) +
             " " + (f.sum ? hex(*f.sum, 16) : "-") + " " + std::to_string(f.fileLines) + " " +
             std::to_string(f.fileBytes) + " " + (f.fileSum ? hex(*f.fileSum, 16) : "-");
        if (f.compressedBytes) t += " " + std::to_string(*f.compressedBytes) + " " + hex(f.compressedCrc, 8);
        t += "\n";
    }
    t += "files " + std::to_string(files.size()) + "\n";
    return t;
}

std::optional<Manifest> Manifest::parse(const std::string& text, std::string& error) {
    Manifest m;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || (line != header3 && line != header2 && line != header1)) {
        error = "not a manifest (its first line is not \"" + std::string(header3) + "\")";
        return std::nullopt;
    }
    m.version = line == header3 ? 3 : line == header2 ? 2 : 1;
    if (m.version == 1) m.program = "qempart";
    int64_t fileCount = -1;
    bool seen[7] = {};
    const char* const keys[] = {"channels", "density-code", "users", "seed", "phase", "parts", "part"};
    for (int number = 2; std::getline(in, line); ++number) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string field; fields >> field;) f.push_back(field);
        const std::string where = "line " + std::to_string(number);
        if (f.empty()) continue;
        if (f[0] == "file") {
            ManifestFile file;
            uint64_t crc = 0, sum = 0, fileSum = 0;
            const size_t expected = m.version >= 2 ? (m.compression.empty() ? 9 : 11) : 7;
            if (f.size() != expected) {
                error = where + ": a file line needs " + std::to_string(expected - 1) + " fields";
                return std::nullopt;
            }
            file.name = f[1];
            const size_t wholeAt = m.version >= 2 ? 6 : 5;
            bool ok = parseInteger(f[2], file.lines) && parseInteger(f[3], file.bytes) && parseHex(f[4], 8, crc) &&
                      parseInteger(f[wholeAt], file.fileLines) && parseInteger(f[wholeAt + 1], file.fileBytes);
            if (ok && m.version >= 2) {
                ok = parseHex(f[5], 16, sum) && (f[8] == "-" || parseHex(f[8], 16, fileSum));
                file.sum = sum;
                if (f[8] != "-") file.fileSum = fileSum;
            }
            if (ok && expected == 11) {
                int64_t zbytes = 0;
                uint64_t zcrc = 0;
                ok = parseInteger(f[9], zbytes) && zbytes >= 0 && parseHex(f[10], 8, zcrc);
                file.compressedBytes = zbytes;
                file.compressedCrc = static_cast<uint32_t>(zcrc);
            }
            if (!ok || file.lines < 0 || file.bytes < 0 || file.fileLines < file.lines || file.fileBytes < file.bytes) {
                error = where + ": unreadable file line";
                return std::nullopt;
            }
            file.crc = static_cast<uint32_t>(crc);
            m.files.push_back(std::move(file));
            continue;
        }
        if (f.size() != 2) {
            error = where + ": unreadable";
            return std::nullopt;
        }
        if (f[0] == "program" && m.version >= 2) {
            m.program = f[1];
            continue;
        }
        if (f[0] == "compression" && m.version >= 2) {
            if (!m.files.empty()) {
                error = where + ": the compression must come before the files";
                return std::nullopt;
            }
            m.compression = f[1];
            continue;
        }
        int64_t value = 0;
        if (!parseInteger(f[1], value)) {
            error = where + ": " + f[0] + " is not a whole number";
            return std::nullopt;
        }
        if (f[0] == "files") {
            fileCount = value;
            continue;
        }
        bool known = false;
        for (int k = 0; k < 7; ++k) {
            if (f[0] != keys[k]) continue;
            known = seen[k] = true;
            int64_t* targets[] = {&m.channels, &m.densityCode, &m.users, &m.seed};
            if (k < 4)
                *targets[k] = value;
            else
                (k == 4 ? m.phase : k == 5 ? m.parts : m.part) = static_cast<int32_t>(value);
        }
        if (!known) {
            error = where + ": unknown setting " + f[0];
            return std::nullopt;
        }
    }
    for (int k = 0; k < 7; ++k) {
        if (!seen[k]) {
            error = std::string("the setting ") + keys[k] + " is missing";
            return std::nullopt;
        }
    }
    if (fileCount != static_cast<int64_t>(m.files.size())) {
        error = "it lists " + std::to_string(m.files.size()) + " files, not the " +
                (fileCount < 0 ? std::string("count it ends with (no \"files\" line: cut short?)")
                               : std::to_string(fileCount) + " it says");
        return std::nullopt;
    }
    if (m.phase < 1 || m.phase > 3 || m.parts < 1 || m.part < 1 || m.part > m.parts) {
        error = "phase " + std::to_string(m.phase) + ", part " + std::to_string(m.part) + " of " +
                std::to_string(m.parts) + ": not a part of a phase";
        return std::nullopt;
    }
    return m;
}

bool Manifest::sameDataSet(const Manifest& o) const {
    return channels == o.channels && densityCode == o.densityCode && users == o.users && seed == o.seed &&
           parts == o.parts;
}

std::string manifestName(int32_t phase) { return "phase" + std::to_string(phase) + ".manifest"; }

std::string manifestName(int32_t phase, int32_t part) { return partFileName(manifestName(phase), part); }

std::string queryFileName(int64_t user) {
    char name[32];
    snprintf(name, sizeof name, "qry%3.3ld.qem", static_cast<long>(user));
    return name;
}

int32_t queryFileUser(std::string_view name) {
    if (name.size() < 10 || !name.starts_with("qry") || !name.ends_with(".qem")) return 0;
    const std::string_view digits = name.substr(3, name.size() - 7);
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string_view::npos) return 0;
    const int64_t user = std::stoll(std::string(digits));
    if (user < 1 || user > INT32_MAX || queryFileName(user) != name) return 0;
    return static_cast<int32_t>(user);
}

std::string partFileName(const std::string& name, int32_t part) {
    char suffix[32];
    snprintf(suffix, sizeof suffix, ".part%04d", static_cast<int>(part));
    return name + suffix;
}

std::string temporaryPartFileName(const std::string& name, int32_t part) {
    return partFileName(name, part) + temporaryEnding;
}

namespace {

const std::string_view partMark = ".part";
constexpr size_t partDigits = 4;

std::optional<std::string> withoutEnding(std::string_view name, std::string_view ending) {
    if (name.size() <= ending.size() || !name.ends_with(ending)) return std::nullopt;
    return std::string(name.substr(0, name.size() - ending.size()));
}

}  // namespace

std::optional<PartFileNameParts> parsePartFileName(std::string_view name) {
    const size_t tail = partMark.size() + partDigits;
    if (name.size() <= tail || name.substr(name.size() - tail, partMark.size()) != partMark) return std::nullopt;
    int32_t part = 0;
    for (const char c : name.substr(name.size() - partDigits)) {
        if (c < '0' || c > '9') return std::nullopt;
        part = part * 10 + (c - '0');
    }
    return PartFileNameParts{std::string(name.substr(0, name.size() - tail)), part};
}

std::optional<ManifestNameParts> parseManifestName(std::string_view name) {
    std::string_view whole = name;
    int32_t part = 0;
    if (const auto p = parsePartFileName(name)) {
        if (p->part == 0) return std::nullopt;
        part = p->part;
        whole = std::string_view(name).substr(0, p->name.size());
    }
    for (int32_t phase = 1; phase <= 3; ++phase)
        if (whole == manifestName(phase)) return ManifestNameParts{phase, part};
    return std::nullopt;
}

std::optional<std::string> finalNameOf(std::string_view name) {
    if (auto n = withoutEnding(name, temporaryEnding)) return n;
    return withoutEnding(name, sideFileEnding);
}

std::optional<std::string> uncompressedNameOf(std::string_view name) { return withoutEnding(name, compressedEnding); }

}  // namespace qem
