#include "protocol_vectors.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace ordane::test {

namespace {

// "name = 02 "SETN" 03": hex pairs and quoted ASCII.
Bytes Parse(const std::string& value) {
    Bytes bytes;
    for (std::size_t i = 0; i < value.size();) {
        if (value[i] == '"') {
            const std::size_t end = value.find('"', i + 1);
            bytes.insert(bytes.end(), value.begin() + static_cast<std::ptrdiff_t>(i + 1),
                         value.begin() + static_cast<std::ptrdiff_t>(end));
            i = end + 1;
        } else if (value[i] == ' ') {
            ++i;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(std::stoi(value.substr(i, 2), nullptr, 16)));
            i += 2;
        }
    }
    return bytes;
}

std::map<std::string, Bytes> Load() {
    std::map<std::string, Bytes> vectors;
    std::ifstream file(ORDANE_PROTOCOL_VECTORS);
    std::string line;
    while (std::getline(file, line)) {
        const std::size_t equals = line.find(" = ");
        if (!line.empty() && line[0] != '#' && equals != std::string::npos) {
            vectors[line.substr(0, equals)] = Parse(line.substr(equals + 3));
        }
    }
    return vectors;
}

}  // namespace

Bytes Vector(const std::string& name) {
    static const std::map<std::string, Bytes> vectors = Load();
    const auto it = vectors.find(name);
    if (it == vectors.end()) {
        ADD_FAILURE() << "no protocol vector " << name << " in " << ORDANE_PROTOCOL_VECTORS;
        return {};
    }
    return it->second;
}

}  // namespace ordane::test
