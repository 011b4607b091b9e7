// The Start menu's command on Windows. Ondaline keeps its settings, lock and
// daily logs in its working directory, and the install folder is not
// writable for the operator: start Ondaline.exe, which lies beside this
// program, in %LOCALAPPDATA%\Ondaline, created on first use. A shortcut's
// own "Start in" folder cannot be per user and created on demand.
#include <windows.h>
#include <shlobj.h>

#include <string>

namespace {

int fail(const std::wstring &what, unsigned long code)
{
    const std::wstring text = what + L" (error " + std::to_wstring(code) + L")";
    MessageBoxW(nullptr, text.c_str(), L"Ondaline", MB_ICONERROR | MB_OK);
    return 1;
}

std::wstring ownDirectory()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand)
{
    PWSTR localAppData = nullptr;
    const HRESULT found = SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &localAppData);
    if (FAILED(found))
        return fail(L"The local application data folder is not available", static_cast<unsigned long>(found));
    const std::wstring workDir = std::wstring(localAppData) + L"\\Ondaline";
    CoTaskMemFree(localAppData);
    if (!CreateDirectoryW(workDir.c_str(), nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
            return fail(L"Cannot create " + workDir, error);
    }

    const std::wstring directory = ownDirectory();
    if (directory.empty()) {
        const DWORD error = GetLastError();
        return fail(L"Cannot find the program's folder", error);
    }
    const std::wstring program = directory + L"Ondaline.exe";
    std::wstring commandLine = L"\"" + program + L"\"";

    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = WORD(showCommand);
    PROCESS_INFORMATION process {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.c_str(), &startup, &process)) {
        const DWORD error = GetLastError();
        return fail(L"Cannot start " + program, error);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
