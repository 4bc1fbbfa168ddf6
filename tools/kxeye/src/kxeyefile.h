// kxeye's output files: each one is complete or absent. Written under a temporary name beside
// the final one, every write, the flush and the close checked, then renamed into place.
#ifndef KXEYEFILE_H
#define KXEYEFILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kxeyeoutput.h"

class CKxEyeOutFile {
public:
    CKxEyeOutFile() = default;
    ~CKxEyeOutFile() { Abort(); }
    CKxEyeOutFile(const CKxEyeOutFile&) = delete;
    CKxEyeOutFile& operator=(const CKxEyeOutFile&) = delete;

    // A path that exists and is not a regular file (a device, a pipe, or a link to one) is
    // written straight into; a link to a regular file is replaced at its target.
    bool Open(const std::string& strPath);
    bool Write(const void* pData, size_t nSize);
    bool Print(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    // Rewrites bytes already written (the PLY vertex count).
    bool WriteAt(uint64_t nOffset, const void* pData, size_t nSize);
    // Flush, sync, close and rename; false when any of them failed (the temporary is removed).
    bool Commit();
    // Closes and removes the temporary; the final name is left as it was.
    void Abort();

    bool IsOpen() const { return m_pFile != nullptr; }
    bool Failed() const { return !m_strError.empty(); }
    // "cannot write PATH: reason" of the first failure.
    const std::string& Error() const { return m_strError; }
    const std::string& Path() const { return m_strPath; }
    uint64_t Size() const { return m_nSize; }

private:
    bool Fail(const char* pszWhat, int nErrno);
    std::string m_strPath;
    std::string m_strTarget;  // where the rename goes (the link's target for a link)
    std::string m_strTemp;    // empty when writing straight into the path
    std::string m_strError;
    FILE* m_pFile = nullptr;
    uint64_t m_nSize = 0;
};

// Checks, before anything is captured, that DIR exists as a writable folder or can be created
// (its nearest existing ancestor is a writable folder). Nothing is created here.
bool KxEyeCheckOutputDir(const std::string& strDir, std::string& strError);

// Creates the output folder when it is needed and removes again the folders it created when
// nothing was written into them.
class CKxEyeOutputDir {
public:
    explicit CKxEyeOutputDir(std::string strDir) : m_strDir(std::move(strDir)) {}
    ~CKxEyeOutputDir() { RemoveIfUnused(); }
    bool Create(std::string& strError);
    void Keep() { m_bKeep = true; }
    void RemoveIfUnused();

private:
    std::string m_strDir;
    std::vector<std::string> m_vecCreated;  // innermost last
    bool m_bKeep = false;
};

// Binary little-endian PLY of float x, y, z, streamed: the vertex count is a fixed-width field
// that Finish writes once the number is known.
class CKxEyePlyWriter {
public:
    // Open takes the name (so that an unwritable path shows before capture); Begin writes the
    // header, once the comments are known.
    bool Open(const std::string& strPath);
    // bCameraIndex: every vertex also carries "uchar camera", the index of the camera that saw
    // it (a merged cloud of several cameras); Add then takes that index.
    bool Begin(const std::vector<std::string>& vecComments, bool bCameraIndex = false);
    bool Add(const std::vector<SKxEyePoint>& vecPoints, uint8_t nCamera = 0);
    bool Finish();  // count, then Commit
    void Abort() { m_file.Abort(); }
    uint64_t Count() const { return m_nCount; }
    const std::string& Error() const { return m_file.Error(); }
    bool Failed() const { return m_file.Failed(); }

private:
    CKxEyeOutFile m_file;
    uint64_t m_nCountOffset = 0;
    uint64_t m_nCount = 0;
    bool m_bCameraIndex = false;
    std::vector<uint8_t> m_vecBuffer;
};

// 8-bit grey PNG written row by row through zlib.
class CKxEyePngWriter {
public:
    ~CKxEyePngWriter();
    bool Open(const std::string& strPath, uint32_t nWidth, uint32_t nHeight);
    bool Row(const uint8_t* pbyRow);
    bool Finish();
    void Abort();
    const std::string& Error() const { return m_file.Error(); }

private:
    bool Chunk(const char* pszType, const uint8_t* pData, size_t nSize);
    bool Deflate(const uint8_t* pData, size_t nSize, bool bEnd);
    CKxEyeOutFile m_file;
    void* m_pStream = nullptr;  // z_stream
    uint32_t m_nWidth = 0, m_nHeight = 0, m_nRows = 0;
    std::vector<uint8_t> m_vecOut;
};

// Copies a file into an output path through CKxEyeOutFile.
bool KxEyeCopyToOutput(const std::string& strFrom, const std::string& strTo, std::string& strError);

#endif
