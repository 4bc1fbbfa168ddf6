#include "kxeyefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int nErrno) { return nErrno ? std::strerror(nErrno) : "write failed"; }

// Permissions a plain fopen would have given: 0666 less the umask.
mode_t CreationMode() {
    static const mode_t s_nMode = [] {
        const mode_t nMask = umask(0);
        umask(nMask);
        return static_cast<mode_t>(0666 & ~nMask);
    }();
    return s_nMode;
}

}  // namespace

bool CKxEyeOutFile::Fail(const char* pszWhat, int nErrno) {
    if (m_strError.empty()) {
        m_strError = std::string("cannot ") + pszWhat + " " + m_strPath + ": " + ErrnoText(nErrno);
    }
    return false;
}

bool CKxEyeOutFile::Open(const std::string& strPath) {
    Abort();
    m_strPath = strPath;
    m_strError.clear();
    m_nSize = 0;
    CreationMode();  // settle the umask before any capture thread runs
    struct stat st {};
    const bool bExists = ::stat(strPath.c_str(), &st) == 0;
    if (bExists && !S_ISREG(st.st_mode)) {
        // A device or a pipe cannot be renamed onto: write straight into it, still checked.
        m_pFile = std::fopen(strPath.c_str(), "wb");
        if (!m_pFile) return Fail("open", errno);
        return true;
    }
    m_strTarget = strPath;
    struct stat lst {};
    if (::lstat(strPath.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && bExists) {
        // Keep the user's link: the new file replaces its target.
        std::error_code ec;
        const fs::path target = fs::canonical(strPath, ec);
        if (!ec) m_strTarget = target.string();
    }
    const fs::path target(m_strTarget);
    std::string strName(1, '.');
    strName += target.filename().string();
    strName += ".kxeye-XXXXXX";
    std::string strTemplate = (target.parent_path() / strName).string();
    std::vector<char> vecName(strTemplate.begin(), strTemplate.end());
    vecName.push_back('\0');
    const int fd = ::mkstemp(vecName.data());
    if (fd < 0) return Fail("create", errno);
    m_strTemp = vecName.data();
    ::fchmod(fd, CreationMode());
    m_pFile = ::fdopen(fd, "wb");
    if (!m_pFile) {
        const int nErr = errno;
        ::close(fd);
        ::unlink(m_strTemp.c_str());
        m_strTemp.clear();
        return Fail("open", nErr);
    }
    return true;
}

bool CKxEyeOutFile::Write(const void* pData, size_t nSize) {
    if (Failed()) return false;
    if (!m_pFile) return Fail("write", EBADF);
    if (nSize == 0) return true;
    errno = 0;
    if (std::fwrite(pData, 1, nSize, m_pFile) != nSize || std::ferror(m_pFile)) return Fail("write", errno);
    m_nSize += nSize;
    return true;
}

bool CKxEyeOutFile::Print(const char* pszFormat, ...) {
    char szSmall[512];
    va_list args;
    va_start(args, pszFormat);
    const int n = std::vsnprintf(szSmall, sizeof(szSmall), pszFormat, args);
    va_end(args);
    if (n < 0) return Fail("format", EINVAL);
    if (static_cast<size_t>(n) < sizeof(szSmall)) return Write(szSmall, static_cast<size_t>(n));
    std::vector<char> vec(static_cast<size_t>(n) + 1);
    va_start(args, pszFormat);
    std::vsnprintf(vec.data(), vec.size(), pszFormat, args);
    va_end(args);
    return Write(vec.data(), static_cast<size_t>(n));
}

bool CKxEyeOutFile::WriteAt(uint64_t nOffset, const void* pData, size_t nSize) {
    if (Failed()) return false;
    if (!m_pFile) return Fail("write", EBADF);
    errno = 0;
    if (std::fflush(m_pFile) != 0) return Fail("write", errno);
    if (fseeko(m_pFile, static_cast<off_t>(nOffset), SEEK_SET) != 0) return Fail("seek in", errno);
    if (std::fwrite(pData, 1, nSize, m_pFile) != nSize) return Fail("write", errno);
    if (fseeko(m_pFile, 0, SEEK_END) != 0) return Fail("seek in", errno);
    return true;
}

bool CKxEyeOutFile::Commit() {
    if (!m_pFile) return Fail("write", EBADF);
    FILE* pFile = m_pFile;
    m_pFile = nullptr;
    errno = 0;
    bool bOk = !Failed();
    if (bOk && (std::fflush(pFile) != 0 || std::ferror(pFile))) bOk = Fail("write", errno);
    // The data reaches the disk before the name does, so a crash leaves the old file or the new.
    if (bOk && !m_strTemp.empty() && ::fsync(fileno(pFile)) != 0) bOk = Fail("write", errno);
    if (std::fclose(pFile) != 0 && bOk) bOk = Fail("close", errno);
    if (!m_strTemp.empty()) {
        // std::filesystem::rename replaces an existing file on every system; the C library's
        // rename does not on Windows.
        std::error_code ec;
        if (bOk) fs::rename(m_strTemp, m_strTarget, ec);
        if (ec) {
            if (m_strError.empty()) m_strError = "cannot rename onto " + m_strPath + ": " + ec.message();
            bOk = false;
        }
        if (!bOk) ::unlink(m_strTemp.c_str());
        m_strTemp.clear();
    }
    return bOk;
}

void CKxEyeOutFile::Abort() {
    if (m_pFile) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    if (!m_strTemp.empty()) {
        ::unlink(m_strTemp.c_str());
        m_strTemp.clear();
    }
}

bool KxEyeCheckOutputDir(const std::string& strDir, std::string& strError) {
    if (strDir.empty()) {
        strError = "no output folder given";
        return false;
    }
    fs::path path = fs::absolute(fs::path(strDir)).lexically_normal();
    // The nearest part of the path that exists must be a folder we can write into.
    std::error_code ec;
    while (!fs::exists(path, ec)) {
        if (!path.has_parent_path() || path.parent_path() == path) break;
        path = path.parent_path();
    }
    if (!fs::is_directory(path, ec)) {
        strError = "output folder \"" + strDir + "\": " + path.string() + " is not a folder";
        return false;
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
        strError = "output folder \"" + strDir + "\": cannot write into " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CKxEyeOutputDir::Create(std::string& strError) {
    std::error_code ec;
    // Remember which levels did not exist, so that an empty run can take them away again.
    std::vector<std::string> vecMissing;
    for (fs::path p = fs::absolute(fs::path(m_strDir)).lexically_normal(); !p.empty() && !fs::exists(p, ec);
         p = p.parent_path()) {
        vecMissing.push_back(p.string());
        if (p.parent_path() == p) break;
    }
    fs::create_directories(m_strDir, ec);
    if (ec || !fs::is_directory(m_strDir)) {
        strError = "cannot create output folder \"" + m_strDir + "\": " + (ec ? ec.message() : "not a folder");
        return false;
    }
    m_vecCreated.assign(vecMissing.rbegin(), vecMissing.rend());
    return true;
}

void CKxEyeOutputDir::RemoveIfUnused() {
    if (m_bKeep) return;
    // Innermost first; a folder that holds anything stays.
    while (!m_vecCreated.empty()) {
        if (::rmdir(m_vecCreated.back().c_str()) != 0) break;
        m_vecCreated.pop_back();
    }
    m_vecCreated.clear();
}

// ---- PLY ----

bool CKxEyePlyWriter::Open(const std::string& strPath) {
    m_nCount = 0;
    return m_file.Open(strPath);
}

bool CKxEyePlyWriter::Begin(const std::vector<std::string>& vecComments, bool bCameraIndex) {
    m_bCameraIndex = bCameraIndex;
    std::string strHeader = "ply\nformat binary_little_endian 1.0\ncomment written by kxeye\n";
    for (const std::string& s : vecComments) strHeader += "comment " + s + "\n";
    strHeader += "element vertex ";
    m_nCountOffset = strHeader.size();
    // Ten digits, zero-filled, rewritten at the end: the count is known only then.
    strHeader += "0000000000\nproperty float x\nproperty float y\nproperty float z\n";
    if (bCameraIndex) strHeader += "property uchar camera\n";
    strHeader += "end_header\n";
    return m_file.Write(strHeader.data(), strHeader.size());
}

bool CKxEyePlyWriter::Add(const std::vector<SKxEyePoint>& vecPoints, uint8_t nCamera) {
    const size_t nStride = m_bCameraIndex ? 13 : 12;
    m_vecBuffer.resize(vecPoints.size() * nStride);
    uint8_t* p = m_vecBuffer.data();
    for (const SKxEyePoint& pt : vecPoints) {
        const float af[3] = {pt.fX, pt.fY, pt.fZ};
        std::memcpy(p, af, 12);
        if constexpr (std::endian::native == std::endian::big) {
            for (int k = 0; k < 3; ++k) std::reverse(p + 4 * k, p + 4 * k + 4);
        }
        if (m_bCameraIndex) p[12] = nCamera;
        p += nStride;
    }
    if (!m_file.Write(m_vecBuffer.data(), m_vecBuffer.size())) return false;
    m_nCount += vecPoints.size();
    return true;
}

bool CKxEyePlyWriter::Finish() {
    if (m_nCount > 9999999999ull) {
        m_file.Abort();
        return false;
    }
    char szCount[16];
    std::snprintf(szCount, sizeof(szCount), "%010llu", static_cast<unsigned long long>(m_nCount));
    if (!m_file.WriteAt(m_nCountOffset, szCount, 10)) {
        m_file.Abort();
        return false;
    }
    return m_file.Commit();
}

// ---- PNG ----

namespace {
void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
}  // namespace

CKxEyePngWriter::~CKxEyePngWriter() { Abort(); }

void CKxEyePngWriter::Abort() {
    if (m_pStream) {
        deflateEnd(static_cast<z_stream*>(m_pStream));
        delete static_cast<z_stream*>(m_pStream);
        m_pStream = nullptr;
    }
    m_file.Abort();
}

bool CKxEyePngWriter::Chunk(const char* pszType, const uint8_t* pData, size_t nSize) {
    uint8_t abyHead[8];
    PutBE32(abyHead, static_cast<uint32_t>(nSize));
    std::memcpy(abyHead + 4, pszType, 4);
    uLong nCrc = crc32(0, reinterpret_cast<const Bytef*>(pszType), 4);
    if (nSize) nCrc = crc32(nCrc, pData, static_cast<uInt>(nSize));
    uint8_t abyCrc[4];
    PutBE32(abyCrc, static_cast<uint32_t>(nCrc));
    return m_file.Write(abyHead, 8) && m_file.Write(pData, nSize) && m_file.Write(abyCrc, 4);
}

bool CKxEyePngWriter::Open(const std::string& strPath, uint32_t nWidth, uint32_t nHeight) {
    Abort();
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    m_nRows = 0;
    if (!m_file.Open(strPath)) return false;
    static const uint8_t s_abySignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    uint8_t abyHeader[13];
    PutBE32(abyHeader, nWidth);
    PutBE32(abyHeader + 4, nHeight);
    abyHeader[8] = 8;   // bits
    abyHeader[9] = 0;   // grey
    abyHeader[10] = 0;  // deflate
    abyHeader[11] = 0;  // adaptive filters
    abyHeader[12] = 0;  // not interlaced
    auto* pStream = new z_stream{};
    if (deflateInit(pStream, 6) != Z_OK) {
        delete pStream;
        m_file.Abort();
        return false;
    }
    m_pStream = pStream;
    m_vecOut.resize(1 << 16);
    return m_file.Write(s_abySignature, 8) && Chunk("IHDR", abyHeader, sizeof(abyHeader));
}

bool CKxEyePngWriter::Deflate(const uint8_t* pData, size_t nSize, bool bEnd) {
    auto* pStream = static_cast<z_stream*>(m_pStream);
    if (!pStream) return false;
    pStream->next_in = const_cast<Bytef*>(pData);
    pStream->avail_in = static_cast<uInt>(nSize);
    for (;;) {
        pStream->next_out = m_vecOut.data();
        pStream->avail_out = static_cast<uInt>(m_vecOut.size());
        const int nRet = deflate(pStream, bEnd ? Z_FINISH : Z_NO_FLUSH);
        if (nRet == Z_STREAM_ERROR) return false;
        const size_t nHave = m_vecOut.size() - pStream->avail_out;
        if (nHave && !Chunk("IDAT", m_vecOut.data(), nHave)) return false;
        if (bEnd ? nRet == Z_STREAM_END : pStream->avail_in == 0 && pStream->avail_out != 0) return true;
    }
}

bool CKxEyePngWriter::Row(const uint8_t* pbyRow) {
    if (m_nRows >= m_nHeight) return false;
    static const uint8_t s_byFilterNone = 0;
    ++m_nRows;
    return Deflate(&s_byFilterNone, 1, false) && Deflate(pbyRow, m_nWidth, false);
}

bool CKxEyePngWriter::Finish() {
    const bool bOk = m_nRows == m_nHeight && Deflate(nullptr, 0, true) && Chunk("IEND", nullptr, 0);
    auto* pStream = static_cast<z_stream*>(m_pStream);
    deflateEnd(pStream);
    delete pStream;
    m_pStream = nullptr;
    if (!bOk) {
        m_file.Abort();
        return false;
    }
    return m_file.Commit();
}

bool KxEyeCopyToOutput(const std::string& strFrom, const std::string& strTo, std::string& strError) {
    FILE* pIn = std::fopen(strFrom.c_str(), "rb");
    if (!pIn) {
        strError = "cannot read " + strFrom + ": " + std::strerror(errno);
        return false;
    }
    CKxEyeOutFile out;
    bool bOk = out.Open(strTo);
    std::vector<char> vec(1 << 16);
    while (bOk) {
        const size_t n = std::fread(vec.data(), 1, vec.size(), pIn);
        if (n == 0) break;
        bOk = out.Write(vec.data(), n);
    }
    const bool bReadError = std::ferror(pIn) != 0;
    std::fclose(pIn);
    if (bOk && bReadError) {
        strError = "cannot read " + strFrom;
        return false;
    }
    if (bOk) bOk = out.Commit();
    if (!bOk) strError = out.Error();
    return bOk;
}
