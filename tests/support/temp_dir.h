// A private directory under /tmp, removed with its files at the end of the test.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

struct TempDir {
    TempDir() {
        char name[] = "/tmp/pelmar-test-XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("mkdtemp");
        path = name;
    }
    ~TempDir() {
        for (const std::string& file : files()) unlink((path + "/" + file).c_str());
        rmdir(path.c_str());
    }
    // Names of the files inside, sorted.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string read(const std::string& file) const {
        std::ifstream in(path + "/" + file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void write(const std::string& file, const std::string& text) const {
        std::ofstream(path + "/" + file) << text;
    }
    std::string path;
};
