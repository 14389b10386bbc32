// quillhost's file calls that differ on Windows: the C runtime's.
#include <io.h>
#include <sys/stat.h>

#include "host/host_file.h"

namespace quillhost {

bool IsRegularFile(std::FILE* pFile) {
    struct _stat64 st;
    return ::_fstat64(::_fileno(pFile), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool StdinIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

}  // namespace quillhost
