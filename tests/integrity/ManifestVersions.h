#pragma once
// Manifests of an older version made from those written now, for the tests of
// the programs that read them.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "integrity/ContentSum.h"
#include "integrity/Manifest.h"

namespace qemtest {

// A manifest's text as version 2: every content sum taken again with the
// version-2 line hash from the plain files it lists in `folder` (the part
// files, for a part's manifest).
inline std::string asVersionTwo(const std::string& text, const std::filesystem::path& folder, bool part) {
    std::string error;
    std::optional<qem::Manifest> m = qem::Manifest::parse(text, error);
    if (!m) throw std::runtime_error("not a manifest: " + error);
    m->version = 2;
    for (qem::ManifestFile& f : m->files) {
        std::ifstream in(folder / (part ? qem::partFileName(f.name, m->part) : f.name), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        f.sum = qem::contentSumOf(bytes.data(), bytes.size(), qem::blankColumnsOf(f.name), qem::LineHash::keyed);
        if (f.fileSum) f.fileSum = f.sum;
    }
    return m->text();
}

}  // namespace qemtest
