// Walks the installer's or uninstaller's pages under Wine as a user would:
// saves a picture of each page and message box, logs their texts, answers
// message boxes and presses the default button until the wizard closes.
//
// Usage: setup_driver.exe "Window caption" picture-prefix answer program [args...]
//   The wizard is found by its caption, not by process: the uninstaller hands
//   over to a copy of itself and its first process ends at once.
//   answer: "yes" or "no" for Yes/No message boxes (OK boxes are always OK).
// Log lines on stdout: "page N: texts", "box N: text", "checkbox id: state".
//
// Also: "run [NAME=value...] program [args...]" starts the program with the
// arguments joined as they are (NSIS reads its own command line: /D= must come
// last and unquoted, /USER="..." keeps its quotes) and those variables set in
// its environment (Wine sets USERNAME for the first process only, so this is
// how an installer sees another account's), waits, prints "EXIT n" and ends
// with that code; "sddl path" prints the owner and access list Windows
// reports for a file or folder ("SDDL O:...D:...").
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// MUI2 control ids: the finish page's two check boxes.
constexpr int kFinishRunCheck = 1203;
constexpr int kFinishReadmeCheck = 1204;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size - 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  return out;
}

// WM_GETTEXT with a timeout: the wizard may be busy installing.
std::wstring TextOf(HWND window) {
  wchar_t buffer[2048] = {};
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                      2000, &result);
  return buffer;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

struct Search {
  std::wstring caption;
  HWND wizard = nullptr;  // the wizard's frame: a dialog holding an inner page dialog
  HWND box = nullptr;     // a message box: a dialog with the 0xFFFF text control
};

BOOL CALLBACK FindWindows(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  if (!IsWindowVisible(window) || ClassOf(window) != L"#32770") return TRUE;
  if (TextOf(window).rfind(search->caption, 0) != 0) return TRUE;
  if (GetDlgItem(window, 0xFFFF)) {
    search->box = window;
  } else if (FindWindowExW(window, nullptr, L"#32770", nullptr)) {
    search->wizard = window;
  }
  return TRUE;
}

// Saves the window's screen area as a 24-bit BMP (converted to PNG outside).
void SavePicture(HWND window, const std::string& path) {
  RECT rect;
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((width * 3 + 3) / 4) * 4;
  BITMAPFILEHEADER header = {};
  header.bfType = 0x4D42;  // "BM"
  header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  header.bfSize = header.bfOffBits + stride * height;
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&header, sizeof(header), 1, file);
    std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, file);
    std::fwrite(bits, stride * height, 1, file);
    std::fclose(file);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

BOOL CALLBACK CollectTexts(HWND child, LPARAM data) {
  auto* texts = reinterpret_cast<std::wstring*>(data);
  if (!IsWindowVisible(child)) return TRUE;
  const std::wstring cls = ClassOf(child);
  if (cls != L"Static" && cls != L"Button") return TRUE;
  std::wstring text = TextOf(child);
  if (text.empty()) return TRUE;
  for (auto& c : text)
    if (c == L'\r' || c == L'\n') c = L' ';
  *texts += L" | " + text;
  return TRUE;
}

void LogCheckbox(HWND page, int id, const char* name) {
  HWND box = GetDlgItem(page, id);
  if (!box || !IsWindowVisible(box)) return;
  const bool checked = SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
  std::printf("checkbox %s: %s %s \"%s\"\n", name, checked ? "checked" : "unchecked",
              IsWindowEnabled(box) ? "enabled" : "disabled", Utf8(TextOf(box)).c_str());
}

int Run(int argc, char** argv) {
  int first = 2;
  for (; first < argc && std::strchr(argv[first], '=') != nullptr; ++first) {
    std::string setting = argv[first];
    const size_t equals = setting.find('=');
    SetEnvironmentVariableA(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str());
  }
  if (first == argc) return 2;
  std::string command = std::string("\"") + argv[first] + "\"";
  for (int i = first + 1; i < argc; ++i) command += std::string(" ") + argv[i];
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::printf("could not start %s (error %lu)\n", command.c_str(), GetLastError());
    return 255;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::printf("EXIT %lu\n", code);
  return int(code);
}

int PrintSddl(const char* path) {
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      GetNamedSecurityInfoA(path, SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor);
  LPSTR text = nullptr;
  if (error != ERROR_SUCCESS ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
    std::printf("SDDL error %lu\n", error ? error : GetLastError());
    return 1;
  }
  std::printf("SDDL %s\n", text);
  LocalFree(text);
  LocalFree(descriptor);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "run") == 0) return Run(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "sddl") == 0) return PrintSddl(argv[2]);
  if (argc < 5) {
    std::fprintf(stderr, "usage: setup_driver caption picture-prefix yes|no program [args...]\n"
                         "       setup_driver run [NAME=value...] program [args...]\n"
                         "       setup_driver sddl path\n");
    return 2;
  }
  Search search;
  search.caption = std::wstring(argv[1], argv[1] + std::strlen(argv[1]));
  const std::string prefix = argv[2];
  const bool answerYes = std::string(argv[3]) == "yes";
  std::string command = std::string("\"") + argv[4] + "\"";
  for (int i = 5; i < argc; ++i) command += std::string(" ") + argv[i];

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::printf("could not start %s (error %lu)\n", command.c_str(), GetLastError());
    return 1;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  int pages = 0, boxes = 0;
  std::wstring lastPage;
  bool seenWizard = false;
  HWND frame = nullptr;  // the wizard's frame, which lives from its first page to its close
  // Up to two minutes; each pass a quarter second.
  for (int pass = 0; pass < 480; ++pass) {
    Sleep(250);
    search.wizard = search.box = nullptr;
    EnumWindows(FindWindows, reinterpret_cast<LPARAM>(&search));
    if (search.box) {
      Sleep(300);  // let it draw
      ++boxes;
      SavePicture(search.box, prefix + "-box" + std::to_string(boxes) + ".bmp");
      std::wstring text = TextOf(GetDlgItem(search.box, 0xFFFF));
      for (auto& c : text)
        if (c == L'\r' || c == L'\n') c = L' ';
      std::printf("box %d: %s\n", boxes, Utf8(text).c_str());
      std::fflush(stdout);
      const int button = GetDlgItem(search.box, IDYES) ? (answerYes ? IDYES : IDNO) : IDOK;
      PostMessageW(search.box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(search.box, button)));
      Sleep(500);
      continue;
    }
    if (!search.wizard) {
      // Closed only when the frame is gone: between two pages, or while the
      // wizard is too busy to give its caption, it is briefly not found.
      if (seenWizard && !IsWindow(frame)) break;
      continue;
    }
    seenWizard = true;
    frame = search.wizard;
    HWND page = FindWindowExW(search.wizard, nullptr, L"#32770", nullptr);
    HWND next = GetDlgItem(search.wizard, IDOK);
    if (!page || !next || !IsWindowEnabled(next)) continue;  // still working
    std::wstring texts;
    EnumChildWindows(search.wizard, CollectTexts, reinterpret_cast<LPARAM>(&texts));
    if (texts == lastPage) continue;  // the click has not landed yet
    Sleep(400);  // let the page finish drawing
    texts.clear();
    EnumChildWindows(search.wizard, CollectTexts, reinterpret_cast<LPARAM>(&texts));
    lastPage = texts;
    ++pages;
    SavePicture(search.wizard, prefix + "-page" + std::to_string(pages) + ".bmp");
    std::printf("page %d:%s\n", pages, Utf8(texts).c_str());
    LogCheckbox(page, kFinishRunCheck, "run");
    LogCheckbox(page, kFinishReadmeCheck, "readme");
    std::fflush(stdout);
    SendMessageTimeoutW(next, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
  }
  std::printf("%s: %d pages, %d message boxes\n", seenWizard ? "closed" : "no wizard", pages, boxes);
  return seenWizard && !IsWindow(frame) ? 0 : 1;
}
