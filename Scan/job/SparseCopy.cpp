#include "scan/job/SparseCopy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

// One region [inPos, end) by the kernel where it can, else through a buffer.
int CopyRegion(int in, int out, off_t inPos, off_t end, uint64_t& copied, bool& readError) {
    static thread_local std::vector<char> buffer;
    bool kernel = true;
    while (inPos < end) {
        off_t outPos = inPos;
        ssize_t n;
        if (kernel) {
            off_t from = inPos;
            n = ::copy_file_range(in, &from, out, &outPos, static_cast<size_t>(end - inPos), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernel = false;
                continue;
            }
            if (n < 0) {
                // copy_file_range does not say which side failed: ask the source alone.
                const int err = errno;
                char probe;
                readError = ::pread(in, &probe, 1, inPos) < 0;
                return readError ? errno : err;
            }
        } else {
            if (buffer.empty()) buffer.resize(1 << 18);
            n = ::pread(in, buffer.data(), std::min<size_t>(buffer.size(), static_cast<size_t>(end - inPos)), inPos);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                readError = true;
                return errno;
            }
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::pwrite(out, buffer.data() + done, static_cast<size_t>(n - done), inPos + done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return w < 0 ? errno : EIO;
                done += w;
            }
        }
        if (n == 0) break;  // the file shrank meanwhile
        inPos += n;
        copied += static_cast<uint64_t>(n);
    }
    return 0;
}

}  // namespace

int CSparseCopy::Copy(int in, int out, off_t size, uint64_t& copied, bool& readError) {
    readError = false;
    for (off_t data = 0; data < size;) {
        off_t start = ::lseek(in, data, SEEK_DATA);
        off_t end = size;
        if (start < 0) {
            if (errno == ENXIO) break;  // only a hole is left
            if (errno != EINVAL && errno != EOPNOTSUPP) {
                readError = true;
                return errno;
            }
            start = data;  // holes not reported: everything is data
        } else {
            end = ::lseek(in, start, SEEK_HOLE);
            if (end < 0 || end > size) end = size;
        }
        if (const int err = CopyRegion(in, out, start, end, copied, readError)) return err;
        data = end;
    }
    if (::ftruncate(out, size) != 0) return errno;
    return 0;
}
