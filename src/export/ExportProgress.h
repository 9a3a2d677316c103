#pragma once
// How the export reports its progress: the extraction advances a bar by the
// bytes it copies, the run names the file it works on, the normalisation
// advances the bar by about each file's size.
//
// Threads: called from the export thread only; an implementation that shows
// something elsewhere hands the values over itself.

#include <cstdint>
#include <string>

namespace wk {

class CExportProgress {
public:
    virtual void StepBy(int64_t n) = 0;
    virtual void SetFileCount(int n) = 0;
    virtual void SetFileIndex(int i) = 0;
    // Shows "extracting..." + name + ", file " + index + " of " + count.
    virtual void SetFileName(const std::string& name) = 0;
    // The bar's range; its position becomes `low`.
    virtual void SetRange(int64_t low, int64_t high) = 0;
    virtual void SetText(const std::string& text) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual ~CExportProgress() = default;
};

// Remembers everything and shows nothing: for automatic exports and tests.
class SilentExportProgress : public CExportProgress {
public:
    void StepBy(int64_t n) override { position += n; }
    void SetFileCount(int n) override { count = n; }
    void SetFileIndex(int i) override { index = i; }
    void SetFileName(const std::string& name) override {
        fileName = name;
        text = "extracting..." + name + ", file " + std::to_string(index) + " of " +
               std::to_string(count);
    }
    void SetRange(int64_t lo, int64_t hi) override {
        low = lo;
        high = hi;
        position = lo;
    }
    void SetText(const std::string& t) override { text = t; }
    void Show() override { shown = true; }
    void Hide() override { shown = false; }

    int64_t position = 0, low = 0, high = 0;
    int count = 0, index = 0;
    bool shown = false;
    std::string fileName, text;
};

}  // namespace wk
