#pragma once
// Files and folders whose names are not UTF-8, made by their bytes. QTemporaryDir removes a tree
// by decoded names and so leaves these behind; this removes them, last made first, when the test
// ends, whether it passed or not.

#include <QByteArray>

#include <stdio.h>

#include <vector>

class ByteNames {
public:
    ByteNames() = default;
    ByteNames(const ByteNames&) = delete;
    ByteNames& operator=(const ByteNames&) = delete;
    ~ByteNames() {
        for (auto it = m_paths.rbegin(); it != m_paths.rend(); ++it)
            ::remove(it->constData());
    }
    // Returns the path for the caller to make.
    const QByteArray& Add(const QByteArray& path) {
        m_paths.push_back(path);
        return m_paths.back();
    }

private:
    std::vector<QByteArray> m_paths;
};
