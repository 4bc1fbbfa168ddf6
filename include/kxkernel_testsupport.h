// Test helper: captures the kernel's log lines so that tests can assert exact text.
// Header-only, C++11. One capture at a time (it owns the application callback slot).
#ifndef KXKERNEL_TESTSUPPORT_H
#define KXKERNEL_TESTSUPPORT_H

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kxkernel.h"

class KxLogCapture {
public:
    typedef std::pair<int, std::string> Entry;

    // Captures every line with level <= nLevel (default: everything) until destroyed.
    explicit KxLogCapture(int nLevel = c_nKxLogDetail) {
        KxLogUtils::SetLogCallback(&KxLogCapture::OnLine, this, nLevel);
    }
    ~KxLogCapture() { KxLogUtils::SetLogCallback(NULL, NULL, 0); }

    std::vector<Entry> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // Lines of one level only.
    std::vector<std::string> Lines(int nLevel) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        for (size_t i = 0; i < m_lines.size(); ++i)
            if (m_lines[i].first == nLevel) out.push_back(m_lines[i].second);
        return out;
    }
    // True when a line of that level contains the text (exact line: pass it whole).
    bool Contains(int nLevel, const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_lines.size(); ++i)
            if (m_lines[i].first == nLevel && m_lines[i].second.find(text) != std::string::npos)
                return true;
        return false;
    }
    // True when a line of that level equals the text exactly.
    bool HasLine(int nLevel, const std::string& line) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_lines.size(); ++i)
            if (m_lines[i].first == nLevel && m_lines[i].second == line) return true;
        return false;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    static void OnLine(int nLevel, const char* pszLine, void* pContext) {
        KxLogCapture* self = static_cast<KxLogCapture*>(pContext);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.push_back(Entry(nLevel, pszLine ? pszLine : ""));
    }

    mutable std::mutex m_mutex;
    std::vector<Entry> m_lines;

    KxLogCapture(const KxLogCapture&);
    KxLogCapture& operator=(const KxLogCapture&);
};

#endif
