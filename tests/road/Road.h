// The upgrade road on the shipped program with the emulated handheld plugged in: helpers to
// make image files and to walk the wizard up to a page.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>
#include "tools/robot/Console.h"
#include "tools/emuhandheld/EmulatedHandheld.h"
#include "tests/scenarios/Scenario.h"
#include "tests/support/Publisher.h"
#include "tests/support/TestSupport.h"

// An image file of `size` varied bytes (every value 0..255 occurs) in the temporary folder;
// deleted with the object.
class ImageFile {
public:
    explicit ImageFile(uint64_t size, const wchar_t* name = L"image.bin");
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    const std::wstring& Path() const { return m_path; }
    uint32_t Sum() const { return m_sum; }

private:
    std::wstring m_path;
    uint32_t m_sum = 0;
};

// The upgrade log of this Wine prefix (in the user's local application data folder, as the
// shell names it), read from where it ended when the object was made.
class UpgradeLog {
public:
    using Fields = std::map<std::string, std::string>;
    UpgradeLog();
    static std::wstring Folder();
    static std::wstring Path() { return Folder() + L"\\upgrade.log"; }
    // The records appended since, one per line, without line ends.
    std::vector<std::string> NewRecords() const;
    // The one record appended since, parsed into *fields; a fatal test failure unless exactly
    // one was appended.
    void ReadOnlyNewRecord(Fields* fields) const;
    // A record's fields: "time" for the first, then each key=value, quotes taken off.
    static Fields Parse(const std::string& record);

private:
    size_t m_mark;
};

class RoadScenario : public WizardScenario {
protected:
    // Welcome, reset, USB instructions, then Next: the device check page runs.
    void WalkToDeviceCheck(const std::wstring& program = WizardPath(), const std::wstring& arguments = L"");
    // ... and on until the image file page, with the device answering.
    void WalkToImagePage(const std::wstring& program = WizardPath(), const std::wstring& arguments = L"");
    // Chooses `path` in the file dialog; the progress page opens and, with `confirm`, its
    // question comes and is answered Yes.
    void ChooseImage(const std::wstring& path, bool confirm = true);
    // The progress page's question (or refusal) box: its text in *text, then `button` pressed.
    void AnswerQuestion(std::wstring* text = nullptr, int button = IDYES);
    // The transfer ends on the finish page; returns the progress page's last status text
    // and bar position as they stood while the finish page showed.
    void ExpectFinishPage(std::wstring* lastStatus, int* barPos);
    // Presses OK on the "Error" box that must come, checking its text.
    void ExpectErrorBox(const std::wstring& text);
    // The handheld refused block `block` (from 0): it took the blocks before it and nothing after.
    static void ExpectRefusedAtBlock(EmulatedHandheld::Report& report, int block);
    // Runs romflash with these arguments to its end.
    robot::ConsoleResult Flash(const std::wstring& arguments, DWORD timeoutMs = 60000);

    EmulatedHandheld device;
};

// Swaps bytes `at` and `at` + 1 of the file in place from Unix, past Windows' sharing rules
// (as a file server may change a file that a program holds open): size and byte sum stay.
bool SwapTwoBytesInPlace(const std::wstring& path, uint64_t at);
