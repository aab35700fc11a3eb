// SPDX-License-Identifier: MIT
// vazorez-h5check -- FILE: reads an h5 recording whole with libhdf5 and reports on standard output
// how far it got, for the program that started it (hdf5check.h). Exits 0 when it read what it
// could; a file that crashes the library ends it by a signal.
#include "hdf5check.h"

#include <QFile>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    // The file's name is in the locale's encoding, as the program that started it encoded it.
    std::setlocale(LC_ALL, "");
    if (argc != 3 || std::strcmp(argv[1], "--") != 0) {
        std::fprintf(stderr,
            "usage: vazorez-h5check -- FILE\n"
            "Reads the h5 recording FILE whole, for the VazoRez programs that read it, and writes\n"
            "how far it got to standard output in their binary reports.\n");
        return 2;
    }
    const int status = Hdf5CheckProcess::runChecker(QFile::decodeName(argv[2]), 1);
    std::fflush(stderr);
    // Nothing of the library's is left to tidy: the file is closed, and a sanitizer's count of
    // what the library keeps until exit would turn a good read into an exit status that is not 0.
    std::_Exit(status);
}
