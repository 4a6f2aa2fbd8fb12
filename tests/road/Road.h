// The upgrade road on the shipped program with the emulated handheld plugged in: helpers to
// make image files and to walk the wizard up to a page.
#pragma once
#include <cstdint>
#include <string>
#include "EmulatedHandheld.h"
#include "Scenario.h"

// An image file of `size` varied bytes (every value 0..255 occurs) in the temporary folder;
// deleted with the object.
class ImageFile {
public:
    explicit ImageFile(uint64_t size, const wchar_t* name = L"image.bin");
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    const std::wstring& Path() const { return m_path; }
    uint64_t Size() const { return m_size; }
    uint32_t Sum() const { return m_sum; }

private:
    std::wstring m_path;
    uint64_t m_size;
    uint32_t m_sum = 0;
};

std::wstring TempPath(const wchar_t* name);

class RoadScenario : public WizardScenario {
protected:
    // Welcome, reset, USB instructions, then Next: the device check page runs.
    void WalkToDeviceCheck(const std::wstring& program = WizardPath());
    // ... and on until the image file page, with the device answering.
    void WalkToImagePage(const std::wstring& program = WizardPath());
    // Chooses `path` in the file dialog; the progress page opens.
    void ChooseImage(const std::wstring& path);
    // The transfer ends on the finish page; returns the progress page's last status text
    // and bar position as they stood while the finish page showed.
    void ExpectFinishPage(std::wstring* lastStatus, int* barPos);
    // Presses OK on the "Error" box that must come, checking its text.
    void ExpectErrorBox(const std::wstring& text);

    EmulatedHandheld device;
};
