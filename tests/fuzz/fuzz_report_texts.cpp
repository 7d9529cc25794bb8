// Any address, host name and endpoint texts: the document is valid JSON that gives the texts
// back, and the command, split as a POSIX shell splits it, gives back the exact texts.
// Input: three texts separated by NUL bytes (address, host name, endpoint).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "report/document.h"
#include "report/upload.h"

namespace {

// Words of `command` by the shell's quoting rules (blank separation, '...', "...", \x);
// aborts on any character the shell would treat as an operator or expansion outside quotes.
std::vector<std::string> shellWords(const std::string& command) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
        char c = command[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '\'') {
            std::size_t end = command.find('\'', i + 1);
            if (end == std::string::npos) std::abort();
            word += command.substr(i + 1, end - i - 1);
            i = end;
            inWord = true;
        } else if (c == '"') {
            for (++i; i < command.size() && command[i] != '"'; ++i) {
                if (std::strchr("$`\\", command[i])) std::abort();  // never produced by us
                word += command[i];
            }
            if (i == command.size()) std::abort();
            inWord = true;
        } else if (std::strchr("\\|&;<>()$`*?[#~", c)) {
            if (c == '\\' && i + 1 < command.size()) {
                word += command[++i];
                inWord = true;
                continue;
            }
            std::abort();
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

// Text that is valid UTF-8 must come back unchanged from the document.
bool validUtf8(const std::string& text) {
    try {
        nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t first = input.find('\0');
    std::size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
    if (second == std::string::npos) return 0;
    std::string mac = input.substr(0, std::min<std::size_t>(first, 17));
    std::string host = input.substr(first + 1, second - first - 1);
    std::string endpoint = input.substr(second + 1);

    Entry entry{};
    std::memcpy(entry.mac, mac.data(), mac.size());
    entry.count = 7;
    entry.signal = -67;
    std::string document = openDocument(host, 1700000000);
    appendRecord(document, entry);
    appendRecord(document, entry);
    closeDocument(document);
    nlohmann::json parsed = nlohmann::json::parse(document, nullptr, false);
    if (parsed.is_discarded()) std::abort();
    if (validUtf8(host) && parsed["hostname"] != host) std::abort();
    if (validUtf8(mac) && parsed["data"][1]["mac"] != mac) std::abort();
    if (parsed["data"].size() != 2 || parsed["data"][0]["signalDB"] != -67) std::abort();

    for (bool show : {false, true}) {
        CurlOptions options;
        options.show = show;
        std::string command = buildCommand(document, endpoint, options);
        const std::string silence = " > /dev/null 2> /dev/null ";
        if (!show) {
            if (command.size() < silence.size() ||
                command.compare(command.size() - silence.size(), silence.size(), silence) != 0)
                std::abort();
            command.resize(command.size() - silence.size());
        }
        std::vector<std::string> expected = {"curl", "-k",     "-X",
                                             "POST", "-H",     "Content-Type:application/json",
                                             "-d",   document, endpoint};
        if (shellWords(command) != expected) std::abort();
    }
    return 0;
}
