#include "flasher/Progress.h"

#include <cwchar>

void ProgressLine::OnStaged(int blockCount)
{
    m_writes = blockCount + 1;
    m_start = ::GetTickCount();
}

void ProgressLine::OnBlockSent(int sent, int)
{
    m_sent = sent;
    if (m_line.Due()) Draw(false);
}

void ProgressLine::Finish()
{
    if (m_sent == 0) return;
    if (IsConsole(STD_ERROR_HANDLE)) Draw(true);
    m_line.End();
}

void ProgressLine::Draw(bool now)
{
    const double seconds = (::GetTickCount() - m_start) / 1000.0;
    const double mib = m_sent * static_cast<double>(CUSBUpdate::kBlockSize) / (1 << 20);
    const int left = seconds > 0 ? static_cast<int>((m_writes - m_sent) * seconds / m_sent + 0.5) : 0;
    wchar_t line[128];
    std::swprintf(line, 128, L"block %d/%d  %3d%%  %.2f MiB/s  %d:%02d left", m_sent, m_writes,
                  static_cast<int>(100.0 * m_sent / m_writes), seconds > 0 ? mib / seconds : 0.0, left / 60, left % 60);
    m_line.Show(line, now);
}
