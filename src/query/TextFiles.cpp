#include "query/TextFiles.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "publish/Publication.h"

namespace qemquery {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error(path + ": cannot be read");
    return text;
}

void writeWhole(const std::string& path, const std::string& text) {
    const std::string temp = qem::temporaryNameOf(path);
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        file.flush();
        if (!file) {
            std::remove(temp.c_str());
            throw std::runtime_error("cannot write " + temp);
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        throw std::runtime_error("cannot rename " + temp + " to " + path);
    }
}

}  // namespace qemquery
