#include <windows.h>
#include <windowsx.h>

#include <dcomp.h>
#include <dwmapi.h>
#include <imm.h>
#include <shellscalingapi.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <stdexcept>

#include "base/obfuscated.h"
#include "base/win_compat.h"
#include "d2dui/application.h"
#include "d2dui/direct2d_context.h"
#include "d2dui/frame_schedule.h"
#include "d2dui/platform_services.h"
#include "d2dui/window_rules.h"

namespace d2dui {

namespace {

constexpr DWORD window_style = WS_POPUP | WS_MINIMIZEBOX;  // 0x80020000
constexpr float pointer_outside = 9999999.0f;

std::int64_t now_ns()
{
    return monotonic_ns();
}

// How often an occluded window asks whether it is visible again.
constexpr std::int64_t occlusion_test_ns = 500'000'000;

// The loop's wake-up for other threads: an auto-reset event, one per process like the window.
HANDLE loop_wake_event()
{
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// Input and the messages that change what the window shows ask for a frame.
bool asks_for_frame(UINT message)
{
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) || message == WM_NCMOUSEMOVE ||
           message == WM_MOUSELEAVE || message == WM_NCMOUSELEAVE || message == WM_SIZE || message == WM_DPICHANGED ||
           message == WM_PAINT || message == WM_SETFOCUS || message == WM_KILLFOCUS || message == WM_CANCELMODE ||
           message == WM_CAPTURECHANGED || message == WM_ACTIVATE || message == WM_SHOWWINDOW ||
           message == WM_DISPLAYCHANGE || message == WM_THEMECHANGED || message == WM_DWMCOMPOSITIONCHANGED ||
           message == WM_IME_COMPOSITION || message == WM_IME_STARTCOMPOSITION || message == WM_IME_ENDCOMPOSITION;
}

// Milliseconds for MsgWaitForMultipleObjectsEx until `deadline` (INFINITE for never).
DWORD wait_ms_until(std::int64_t deadline, std::int64_t now)
{
    if (deadline == frame_schedule::never) {
        return INFINITE;
    }
    if (deadline <= now) {
        return 0;
    }
    const std::int64_t ms = (deadline - now + 999'999) / 1'000'000;
    return static_cast<DWORD>(std::min<std::int64_t>(ms, 0x7FFFFFFF));
}

std::mt19937_64& class_name_engine()
{
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        const std::uint64_t seed = (std::uint64_t{device()} << 32) ^ device();
        return std::mt19937_64(seed);
    }();
    return engine;
}

HCURSOR cursor_of(int kind)
{
    static std::map<int, HCURSOR> cursors;
    if (cursors.empty()) {
        const std::pair<int, LPCWSTR> table[] = {
            {cursor_arrow, IDC_ARROW},   {cursor_hand, IDC_HAND},       {cursor_ibeam, IDC_IBEAM},
            {cursor_size_we, IDC_SIZEWE}, {cursor_size_ns, IDC_SIZENS},   {cursor_move, IDC_SIZEALL},
            {cursor_wait, IDC_WAIT},     {cursor_not_allowed, IDC_NO}, {cursor_cross, IDC_CROSS},
        };
        for (const auto& [k, id] : table) {
            cursors[k] = LoadCursorW(nullptr, id);
        }
    }
    const auto it = cursors.find(kind);
    return it != cursors.end() ? it->second : cursors[cursor_arrow];
}

BOOL CALLBACK collect_monitor(HMONITOR monitor, HDC, LPRECT, LPARAM data)
{
    auto& out = *reinterpret_cast<std::vector<monitor_desc>*>(data);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) {
        return TRUE;
    }
    UINT dpi_x = 96, dpi_y = 96;
    if (FAILED(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpi_x, &dpi_y)) || dpi_x == 0) {
        dpi_x = 96;
    }
    out.push_back({info.rcWork.left, info.rcWork.top, info.rcWork.right, info.rcWork.bottom,
                   static_cast<int>(dpi_x), (info.dwFlags & MONITORINFOF_PRIMARY) != 0});
    return TRUE;
}

std::uint64_t live_buttons()
{
    std::uint64_t mask = 0;
    const std::pair<int, std::uint64_t> keys[] = {{VK_LBUTTON, mask_left},   {VK_RBUTTON, mask_right},
                                                  {VK_SHIFT, mask_shift},    {VK_CONTROL, mask_ctrl},
                                                  {VK_MBUTTON, mask_middle}, {VK_XBUTTON1, mask_x1},
                                                  {VK_XBUTTON2, mask_x2}};
    for (const auto& [vk, bit] : keys) {
        if (GetKeyState(vk) < 0) {
            mask |= bit;
        }
    }
    return mask;
}

}  // namespace

struct application::impl final : platform_services {
    explicit impl(application& owner) : app(owner) {}

    application& app;
    bool com_initialized = false;
    std::unique_ptr<direct2d_context> rc;
    HWND hwnd = nullptr;
    ATOM window_class = 0;
    std::u16string class_name;
    bool running = false;
    std::unique_ptr<widget> root;
    float dpi_scale = 1.0f;
    std::int64_t last_frame_ns = 0;
    std::int64_t frame_cpu_ns = 0;
    std::int64_t frame_paint_ns = 0;
    int exit_code = 0;
    std::exception_ptr failure;  // the first exception that ended the loop
    frame_pixels* capture = nullptr;
    std::uint64_t frames_drawn = 0;  // frames presented
    std::uint64_t loop_turns = 0;    // wake-ups of the loop
    bool occluded = false;           // the last Present said nothing of the window is visible
    std::int64_t next_occlusion_test = 0;
    bool releasing_capture = false;  // our own ReleaseCapture is no capture loss

    // Swap chain and composition.
    ComPtr<IDXGISwapChain1> swap_chain;
    bool composition = false;
    HMODULE dcomp_library = nullptr;
    ComPtr<IDCompositionDevice> dcomp_device;
    ComPtr<IDCompositionTarget> dcomp_target;
    ComPtr<IDCompositionVisual> dcomp_visual;

    float scale() const { return app.zoom * dpi_scale; }
    point dips(LPARAM lparam) const
    {
        return to_dips(static_cast<float>(GET_X_LPARAM(lparam)), static_cast<float>(GET_Y_LPARAM(lparam)), app.zoom,
                       dpi_scale);
    }
    point dips_from_screen(LPARAM lparam) const
    {
        POINT p{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
        ScreenToClient(hwnd, &p);
        return to_dips(static_cast<float>(p.x), static_cast<float>(p.y), app.zoom, dpi_scale);
    }

    // platform_services
    void set_cursor(int kind) override { SetCursor(cursor_of(kind)); }
    bool set_clipboard_text(const std::u16string& text) override;
    std::u16string clipboard_text() override;
    void set_ime_position(point caret, float caret_height) override;
    void minimize_window() override
    {
        if (hwnd != nullptr) {
            ShowWindow(hwnd, SW_MINIMIZE);
        }
    }
    void close_window() override
    {
        if (hwnd != nullptr) {
            PostMessageW(hwnd, WM_CLOSE, 0, 0);
        }
    }

    void register_class();
    void create_window(const std::u16string& title, float width, float height);
    void set_up_dwm();
    void set_up_composition();
    void recover_device();
    device_loss_point injected_loss = device_loss_point::none;
    std::uint64_t devices_recreated = 0;
    void create_swap_chain(UINT width, UINT height);
    void size_resources(UINT width, UINT height, bool recreate);
    void client_size(UINT& width, UINT& height) const;
    void size_root_to_client();
    enum class frame_kind { first, forced, scheduled };
    void draw(frame_kind kind);
    bool minimized() const { return hwnd != nullptr && IsIconic(hwnd); }
    void wait_for_work(std::int64_t limit_ns);
    bool drain_messages();
    void read_back(frame_pixels& out);
    void route(const input_event& e)
    {
        if (root) {
            root->route_event(e);
        }
    }
    void cancel_input()
    {
        app.pressed_buttons = 0;
        route(input_event::keyboard(input_kind::key_cancel));
    }
    input_event pointer_event(input_kind kind, point p, WPARAM wparam, std::int32_t button = 0) const
    {
        input_event e = input_event::pointer(kind, p.x, p.y, button);
        e.buttons = (static_cast<std::uint64_t>(GET_KEYSTATE_WPARAM(wparam)) & 0x7F) | live_buttons();
        e.ctrl = GetKeyState(VK_CONTROL) < 0;
        e.shift = GetKeyState(VK_SHIFT) < 0;
        e.alt = GetKeyState(VK_MENU) < 0;
        e.wparam = wparam;
        return e;
    }
    LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam);
    static LRESULT CALLBACK window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
};

bool application::impl::set_clipboard_text(const std::u16string& text)
{
    if (!OpenClipboard(hwnd)) {
        return false;
    }
    bool ok = false;
    if (!EmptyClipboard()) {
        CloseClipboard();
        return false;
    }
    const std::size_t bytes = (text.size() + 1) * sizeof(char16_t);
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* p = GlobalLock(memory)) {
            std::memcpy(p, text.c_str(), bytes);
            GlobalUnlock(memory);
            ok = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        }
        if (!ok) {
            GlobalFree(memory);
        }
    }
    CloseClipboard();
    return ok;
}

std::u16string application::impl::clipboard_text()
{
    std::u16string text;
    if (!OpenClipboard(hwnd)) {
        return text;
    }
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* p = static_cast<const char16_t*>(GlobalLock(data))) {
            const std::size_t limit = GlobalSize(data) / sizeof(char16_t);
            std::size_t n = 0;
            while (n < limit && p[n] != 0) {
                ++n;
            }
            text.assign(p, n);
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

void application::impl::set_ime_position(point caret, float caret_height)
{
    if (hwnd == nullptr) {
        return;
    }
    if (HIMC context = ImmGetContext(hwnd)) {
        COMPOSITIONFORM form{};
        form.dwStyle = CFS_POINT;
        form.ptCurrentPos = {static_cast<LONG>(caret.x * scale()), static_cast<LONG>(caret.y * scale())};
        ImmSetCompositionWindow(context, &form);
        CANDIDATEFORM candidate{};
        candidate.dwStyle = CFS_CANDIDATEPOS;
        candidate.ptCurrentPos = {form.ptCurrentPos.x, static_cast<LONG>((caret.y + caret_height) * scale())};
        ImmSetCandidateWindow(context, &candidate);
        ImmReleaseContext(hwnd, context);
    }
}

void application::impl::register_class()
{
    class_name = random_class_name(class_name_engine(),
                                   PELTO_TEXT(u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789").view());
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &impl::window_procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = reinterpret_cast<LPCWSTR>(class_name.c_str());
    window_class = RegisterClassExW(&wc);
    if (window_class == 0) {
        throw_hresult(PELTO_TEXT("RegisterClassExW").view(), HRESULT_FROM_WIN32(GetLastError()));
    }
}

void application::impl::create_window(const std::u16string& title, float width, float height)
{
    // Size with the DPI of the monitor the window is placed on (the primary one).
    std::vector<monitor_desc> monitors;
    EnumDisplayMonitors(nullptr, nullptr, &collect_monitor, reinterpret_cast<LPARAM>(&monitors));
    if (monitors.empty()) {
        monitors.push_back({0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), 96, true});
    }
    const window_plan plan = plan_window(monitors, width, height, app.min_height);
    RECT frame{0, 0, plan.width, plan.height};
    AdjustWindowRectExForDpi(&frame, window_style, FALSE, 0, static_cast<UINT>(plan.dpi));
    const int outer_w = frame.right - frame.left;
    const int outer_h = frame.bottom - frame.top;

    hwnd = CreateWindowExW(WS_EX_NOREDIRECTIONBITMAP, reinterpret_cast<LPCWSTR>(class_name.c_str()),
                           reinterpret_cast<LPCWSTR>(title.c_str()), window_style, plan.x + frame.left,
                           plan.y + frame.top, outer_w, outer_h, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (hwnd == nullptr) {
        throw_hresult(PELTO_TEXT("CreateWindowExW").view(), HRESULT_FROM_WIN32(GetLastError()));
    }
    SetWindowLongPtrW(hwnd, GWL_EXSTYLE, WS_EX_NOREDIRECTIONBITMAP);
    set_up_dwm();
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    UINT w = 0, h = 0;
    client_size(w, h);
    if (w == 0 && h == 0) {
        w = static_cast<UINT>(plan.width);
        h = static_cast<UINT>(plan.height);
    }
    const UINT window_dpi = GetDpiForWindow(hwnd);
    dpi_scale = static_cast<float>(window_dpi != 0 ? window_dpi : static_cast<UINT>(plan.dpi)) / 96.0f;
    rc->dpi_scale = dpi_scale;

    set_up_composition();
    size_resources(w, h, true);

    root = std::make_unique<widget>();
    root->set_bounds(0, 0, static_cast<float>(w) / scale(), static_cast<float>(h) / scale());
}

void application::impl::set_up_dwm()
{
    const MARGINS margins{-1, 0, 0, 0};
    DwmExtendFrameIntoClientArea(hwnd, &margins);
    const int corner = pelto::win_compat::dwm_corner_round;
    DwmSetWindowAttribute(hwnd, pelto::win_compat::dwm_window_corner_preference, &corner, sizeof corner);
    const int backdrop = pelto::win_compat::dwm_backdrop_transient_window;
    if (FAILED(DwmSetWindowAttribute(hwnd, pelto::win_compat::dwm_system_backdrop_type, &backdrop, sizeof backdrop))) {
        DWM_BLURBEHIND blur{};
        blur.dwFlags = DWM_BB_ENABLE;
        blur.fEnable = TRUE;
        DwmEnableBlurBehindWindow(hwnd, &blur);
    }
    const BOOL dark = TRUE;
    DwmSetWindowAttribute(hwnd, pelto::win_compat::dwm_use_immersive_dark_mode, &dark, sizeof dark);
    const COLORREF border = 0x00201F1B;
    DwmSetWindowAttribute(hwnd, pelto::win_compat::dwm_border_color, &border, sizeof border);
}

// DirectComposition when the system offers it; otherwise `composition` stays false and the swap
// chain is created on the window.
void application::impl::set_up_composition()
{
    composition = false;
    if (dcomp_library == nullptr) {
        dcomp_library = LoadLibraryExW(reinterpret_cast<LPCWSTR>(PELTO_TEXT(u"dcomp.dll").c_str()), nullptr,
                                       LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    if (dcomp_library == nullptr) {
        return;
    }
    const auto create = reinterpret_cast<pelto::win_compat::dcomposition_create_device_fn>(
        reinterpret_cast<void*>(GetProcAddress(dcomp_library, PELTO_TEXT("DCompositionCreateDevice").c_str())));
    if (create == nullptr) {
        return;
    }
    if (FAILED(create(rc->dxgi_device(), __uuidof(IDCompositionDevice),
                      reinterpret_cast<void**>(dcomp_device.ReleaseAndGetAddressOf()))) ||
        FAILED(dcomp_device->CreateTargetForHwnd(hwnd, TRUE, &dcomp_target)) ||
        FAILED(dcomp_device->CreateVisual(&dcomp_visual)) || FAILED(dcomp_target->SetRoot(dcomp_visual.Get()))) {
        dcomp_visual.Reset();
        dcomp_target.Reset();
        dcomp_device.Reset();
        return;
    }
    composition = true;
}

void application::impl::create_swap_chain(UINT width, UINT height)
{
    ComPtr<IDXGIAdapter> adapter;
    HRESULT hr = rc->dxgi_device()->GetAdapter(&adapter);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IDXGIDevice::GetAdapter").view(), hr);
    }
    ComPtr<IDXGIFactory2> factory;
    hr = adapter->GetParent(IID_PPV_ARGS(&factory));
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("IDXGIAdapter::GetParent").view(), hr);
    }
    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Width = width;
    desc.Height = height;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc = {1, 0};
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.Scaling = DXGI_SCALING_STRETCH;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL;
    desc.AlphaMode = DXGI_ALPHA_MODE_PREMULTIPLIED;
    desc.Flags = app.swap_chain_flags;
    if (composition) {
        hr = factory->CreateSwapChainForComposition(rc->d3d_device(), &desc, nullptr, &swap_chain);
        if (SUCCEEDED(hr)) {
            // Every new swap chain goes onto the visual, or the window keeps showing the old one.
            hr = dcomp_visual->SetContent(swap_chain.Get());
            if (SUCCEEDED(hr)) {
                hr = dcomp_device->Commit();
            }
            if (SUCCEEDED(hr)) {
                return;
            }
            throw_hresult(PELTO_TEXT("IDCompositionVisual::SetContent").view(), hr);
        }
        // Composition without composition swap chains: fall back to the window.
        swap_chain.Reset();
        dcomp_visual.Reset();
        dcomp_target.Reset();
        dcomp_device.Reset();
        composition = false;
    }
    // A window swap chain must not claim premultiplied alpha (systems reject it); ignore alpha.
    desc.AlphaMode = DXGI_ALPHA_MODE_IGNORE;
    hr = factory->CreateSwapChainForHwnd(rc->d3d_device(), hwnd, &desc, nullptr, nullptr, &swap_chain);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateSwapChainForHwnd").view(), hr);
    }
}

void application::impl::size_resources(UINT width, UINT height, bool recreate)
{
    width = std::max<UINT>(width, 1);
    height = std::max<UINT>(height, 1);
    rc->set_target(nullptr, false);
    if (swap_chain && !recreate) {
        if (FAILED(swap_chain->ResizeBuffers(2, width, height, DXGI_FORMAT_B8G8R8A8_UNORM, app.swap_chain_flags))) {
            recreate = true;
        }
    }
    if (!swap_chain || recreate) {
        swap_chain.Reset();
        rc->d3d_context()->ClearState();
        rc->d3d_context()->Flush();
        create_swap_chain(width, height);
        ComPtr<IDXGIDevice1> device1;
        if (SUCCEEDED(rc->dxgi_device()->QueryInterface(IID_PPV_ARGS(&device1)))) {
            device1->SetMaximumFrameLatency(1);
        }
    }
    rc->set_target(swap_chain.Get(), !composition);
}

void application::impl::client_size(UINT& width, UINT& height) const
{
    RECT client{};
    GetClientRect(hwnd, &client);
    width = static_cast<UINT>(std::max<LONG>(0, client.right - client.left));
    height = static_cast<UINT>(std::max<LONG>(0, client.bottom - client.top));
}

void application::impl::size_root_to_client()
{
    if (!root) {
        return;
    }
    UINT w = 0, h = 0;
    client_size(w, h);
    root->set_size(static_cast<float>(w) / scale(), static_cast<float>(h) / scale());
}

void application::impl::read_back(frame_pixels& out)
{
    ComPtr<ID3D11Texture2D> back;
    if (FAILED(swap_chain->GetBuffer(0, IID_PPV_ARGS(&back)))) {
        return;
    }
    D3D11_TEXTURE2D_DESC desc{};
    back->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    if (FAILED(rc->d3d_device()->CreateTexture2D(&desc, nullptr, &staging))) {
        return;
    }
    rc->d3d_context()->CopyResource(staging.Get(), back.Get());
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(rc->d3d_context()->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
        return;
    }
    out.width = static_cast<int>(desc.Width);
    out.height = static_cast<int>(desc.Height);
    out.bgra.resize(static_cast<std::size_t>(desc.Width) * desc.Height * 4);
    for (UINT y = 0; y < desc.Height; ++y) {
        std::memcpy(&out.bgra[static_cast<std::size_t>(y) * desc.Width * 4],
                    static_cast<const std::uint8_t*>(mapped.pData) + static_cast<std::size_t>(y) * mapped.RowPitch,
                    desc.Width * 4);
    }
    rc->d3d_context()->Unmap(staging.Get(), 0);
    out.opaque = !composition;
    out.captured = true;
}

// Steps 5 to 11 of a frame: update, paint, end, read back when asked, present. A forced frame
// (`frame`, the first one) steps by the time since the previous frame; a scheduled one by the
// schedule's rules (frame_schedule.h).
void application::impl::draw(frame_kind kind)
{
    const bool first = kind == frame_kind::first;
    const std::int64_t now = now_ns();
    const std::int64_t elapsed = first ? 0 : now - last_frame_ns;
    last_frame_ns = now;
    const float scheduled_step = frames().begin_frame(now);
    const float step = kind == frame_kind::scheduled ? scheduled_step : frame_step_seconds(elapsed);
    struct frame_end {
        ~frame_end() { frames().end_frame(); }
    } end_of_frame;
    const std::int64_t cpu_start = now_ns();
    ID2D1DeviceContext* dc = rc->device_context();
    dc->BeginDraw();
    root->update(step);
    dc->Clear(D2D1_COLOR_F{0, 0, 0, 0});
    rc->reset_transform();
    rc->push_scale(scale(), scale());
    root->paint(*rc);
    while (rc->clip_depth() > 0) {
        rc->pop_clip();
    }
    while (rc->transform_depth() > 0) {
        rc->pop_transform();
    }
    const std::int64_t painted = now_ns();
    HRESULT hr = dc->EndDraw();
    frame_cpu_ns = now_ns() - cpu_start;
    frame_paint_ns = painted - cpu_start;
    if (injected_loss == device_loss_point::end_draw && SUCCEEDED(hr)) {
        injected_loss = device_loss_point::none;
        hr = D2DERR_RECREATE_TARGET;
    }
    if (hr == D2DERR_RECREATE_TARGET || (FAILED(hr) && rc->device_lost())) {
        recover_device();  // this frame is skipped; the next one draws on the new devices
        return;
    }
    if (FAILED(hr)) {
        // The target went wrong on a live device: new size-dependent objects, this frame is skipped.
        UINT w = 0, h = 0;
        client_size(w, h);
        size_resources(w, h, true);
        size_root_to_client();
        return;
    }
    if (capture != nullptr) {
        read_back(*capture);
        capture = nullptr;
    }
    HRESULT presented = swap_chain->Present(first ? 0 : (app.vsync ? 1 : 0), 0);
    if (injected_loss == device_loss_point::present && SUCCEEDED(presented)) {
        injected_loss = device_loss_point::none;
        presented = DXGI_ERROR_DEVICE_REMOVED;
    }
    if (presented == DXGI_ERROR_DEVICE_REMOVED || presented == DXGI_ERROR_DEVICE_RESET ||
        (FAILED(presented) && rc->device_lost())) {
        recover_device();
        return;
    }
    ++frames_drawn;
    if (presented == DXGI_STATUS_OCCLUDED) {
        occluded = true;
        next_occlusion_test = now_ns() + occlusion_test_ns;
    }
}

// A lost device: new Direct3D, DXGI and Direct2D devices, composition objects and swap chain; the
// widgets' bitmaps, SVG documents and layers follow when next drawn (direct2d_context.h). Set-up
// failures raise as at start-up.
void application::impl::recover_device()
{
    rc->set_target(nullptr, false);
    swap_chain.Reset();
    dcomp_visual.Reset();
    dcomp_target.Reset();
    dcomp_device.Reset();
    rc->recreate_devices();
    ++devices_recreated;
    set_up_composition();
    UINT w = 0, h = 0;
    client_size(w, h);
    size_resources(w, h, true);
    size_root_to_client();
    frames().request_frame();
}

// Sleeps until input or a message arrives, another thread wakes the loop, the schedule's next
// deadline passes or `limit_ns` (monotonic) is reached. Draw requests count only while the window
// can show a frame: minimised it waits for its restore, occluded for the next visibility test.
void application::impl::wait_for_work(std::int64_t limit_ns)
{
    const std::int64_t now = now_ns();
    std::int64_t deadline = std::min(limit_ns, frames().wake_deadline());
    if (minimized()) {
        // nothing to draw until the restore's WM_SIZE
    } else if (occluded) {
        deadline = std::min(deadline, next_occlusion_test);
    } else {
        deadline = std::min(deadline, frames().next_deadline());
    }
    HANDLE wake = loop_wake_event();
    MsgWaitForMultipleObjectsEx(wake != nullptr ? 1 : 0, wake != nullptr ? &wake : nullptr,
                                wait_ms_until(deadline, now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    ++loop_turns;
}

// Dispatches every pending message; false once the quit message came (the window is hidden).
bool application::impl::drain_messages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            running = false;
            exit_code = static_cast<int>(msg.wParam);
            break;
        }
        if (asks_for_frame(msg.message)) {
            frames().request_frame();  // also for keys a subclass takes before the toolkit sees them
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (!running && hwnd != nullptr && IsWindow(hwnd)) {
        ShowWindow(hwnd, SW_HIDE);
    }
    return running;
}

LRESULT CALLBACK application::impl::window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        auto* self = static_cast<impl*>(create->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd = hwnd;
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    if (message == WM_NCCALCSIZE) {
        return 0;  // the client area is the whole window
    }
    auto* self = reinterpret_cast<impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(hwnd, message, wparam, lparam);
    }
    if (asks_for_frame(message)) {
        frames().request_frame();
    }
    try {
        return self->handle(message, wparam, lparam);
    } catch (...) {
        self->app.fail(std::current_exception());
        return 0;
    }
}

void application::fail(std::exception_ptr failure)
{
    std::string text = PELTO_TEXT("unknown exception").str();
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    text += '\n';
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    OutputDebugStringA(text.c_str());
    impl& s = *impl_;
    if (!s.failure) {
        s.failure = std::move(failure);
    }
    s.running = false;
    s.exit_code = 1;
    PostQuitMessage(1);
}

std::exception_ptr application::failure() const
{
    return impl_->failure;
}

// Messages arrive from inside CreateWindowExW on, before the swap chain and the tree exist, and
// after close; each handler touches only what exists.
LRESULT application::impl::handle(UINT message, WPARAM wparam, LPARAM lparam)
{
    static const UINT counters_message = RegisterWindowMessageW(counters_message_name);
    if (message == counters_message && counters_message != 0) {
        return static_cast<LRESULT>(wparam == 0 ? loop_turns : frames_drawn);
    }
    switch (message) {
    case WM_CREATE:
        return 0;
    case WM_DESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        running = false;
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (wparam != SIZE_MINIMIZED && swap_chain) {
            size_resources(LOWORD(lparam), HIWORD(lparam), false);
            size_root_to_client();
        }
        return 0;
    case WM_KILLFOCUS:
    case WM_CANCELMODE:
        cancel_input();
        break;
    case WM_CLOSE:
        running = false;
        cancel_input();
        DestroyWindow(hwnd);
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(lparam) == HTCLIENT) {
            SetCursor(cursor_of(widget::hovered_cursor()));
            return TRUE;
        }
        break;
    case WM_GETMINMAXINFO:
        return 0;
    case WM_NCHITTEST:
        return title_strip_hit(root.get(), dips_from_screen(lparam), app.title_strip_height) == hit_caption ? HTCAPTION
                                                                                                            : HTCLIENT;
    case WM_NCMOUSEMOVE:
        route(pointer_event(input_kind::pointer_move, dips_from_screen(lparam), 0));
        break;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP: {
        const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        input_event e = input_event::keyboard(down ? input_kind::key_down : input_kind::key_up, static_cast<std::uint32_t>(wparam));
        e.ctrl = GetKeyState(VK_CONTROL) < 0;
        e.shift = GetKeyState(VK_SHIFT) < 0;
        e.alt = GetKeyState(VK_MENU) < 0;
        e.repeat_count = static_cast<std::uint16_t>(lparam & 0xFFFF);
        e.scan_code = static_cast<std::uint8_t>((lparam >> 16) & 0xFF);
        e.extended = ((lparam >> 24) & 1) != 0;
        e.previous_state = ((lparam >> 30) & 1) != 0;
        e.wparam = wparam;
        e.lparam = static_cast<std::uint64_t>(lparam);
        const bool handled = root && root->route_event(e);
        if (down && handled) {
            return 0;
        }
        break;
    }
    case WM_CHAR:
    case WM_SYSCHAR: {
        input_event e = input_event::keyboard(input_kind::key_char);
        e.character = static_cast<char16_t>(wparam);
        e.wparam = wparam;
        e.lparam = static_cast<std::uint64_t>(lparam);
        route(e);
        return 0;
    }
    case WM_MOUSEMOVE: {
        TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&track);
        route(pointer_event(input_kind::pointer_move, dips(lparam), wparam));
        return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
    case WM_XBUTTONUP: {
        const bool down = message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN || message == WM_MBUTTONDOWN ||
                          message == WM_XBUTTONDOWN;
        int button = button_left;
        if (message == WM_RBUTTONDOWN || message == WM_RBUTTONUP) {
            button = button_right;
        } else if (message == WM_MBUTTONDOWN || message == WM_MBUTTONUP) {
            button = button_middle;
        } else if (message == WM_XBUTTONDOWN || message == WM_XBUTTONUP) {
            button = GET_XBUTTON_WPARAM(wparam) == XBUTTON2 ? button_x2 : button_x1;
        }
        if (down) {
            if (app.pressed_buttons++ == 0) {
                SetCapture(hwnd);
            }
            route(pointer_event(input_kind::pointer_down, dips(lparam), wparam, button));
        } else {
            // The release is routed before the capture ends: ending it sends a capture change,
            // whose cancel would otherwise drop the press that this release completes.
            route(pointer_event(input_kind::pointer_up, dips(lparam), wparam, button));
            if (app.pressed_buttons > 0 && --app.pressed_buttons == 0) {
                releasing_capture = true;
                ReleaseCapture();
                releasing_capture = false;
            }
        }
        return (message == WM_XBUTTONDOWN || message == WM_XBUTTONUP) ? TRUE : 0;
    }
    case WM_MOUSEWHEEL:
    case WM_MOUSEHWHEEL: {
        input_event e = pointer_event(input_kind::pointer_wheel, dips_from_screen(lparam), wparam,
                                      message == WM_MOUSEHWHEEL ? 1 : 0);
        e.wheel = static_cast<float>(GET_WHEEL_DELTA_WPARAM(wparam)) / WHEEL_DELTA;
        route(e);
        return 0;
    }
    case WM_MOUSELEAVE:
        route(input_event::pointer(input_kind::pointer_move, pointer_outside, pointer_outside));
        break;
    case WM_SIZING:
        if (swap_chain) {
            UINT w = 0, h = 0;
            client_size(w, h);
            size_resources(w, h, false);
            size_root_to_client();
            app.frame();
        }
        return TRUE;
    case WM_MOVING:
        app.frame();
        return TRUE;
    case WM_CAPTURECHANGED:
        if (reinterpret_cast<HWND>(lparam) != hwnd && !releasing_capture) {
            cancel_input();
        }
        break;
    case WM_DPICHANGED: {
        dpi_scale = static_cast<float>(HIWORD(wparam)) / 96.0f;
        rc->dpi_scale = dpi_scale;
        const auto* suggested = reinterpret_cast<const RECT*>(lparam);
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        size_root_to_client();  // the DIP size changes even when the pixel size does not
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

application::application() : impl_(std::make_unique<impl>(*this))
{
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);  // fails when the manifest set it
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CoInitializeEx").view(), hr);
    }
    impl_->com_initialized = true;
    try {
        impl_->rc = std::make_unique<direct2d_context>();
    } catch (...) {
        CoUninitialize();
        impl_->com_initialized = false;
        throw;
    }
    impl_->rc->platform = impl_.get();
}

application::~application()
{
    close();
    impl_->rc.reset();
    if (impl_->window_class != 0) {
        UnregisterClassW(reinterpret_cast<LPCWSTR>(impl_->class_name.c_str()), GetModuleHandleW(nullptr));
    }
    if (impl_->dcomp_library != nullptr) {
        FreeLibrary(impl_->dcomp_library);
    }
    if (impl_->com_initialized) {
        CoUninitialize();
    }
}

void application::open(const std::u16string& title, float width, float height)
{
    impl& s = *impl_;
    if (s.hwnd != nullptr) {
        throw std::logic_error(PELTO_TEXT("The window is already open").str());
    }
    s.register_class();
    s.create_window(title, width, height);
    on_build(*s.root);
    s.root->mount(*s.rc);
    on_start(*s.rc);
    s.running = true;
    s.last_frame_ns = now_ns();
    s.frames_drawn = 0;
    s.loop_turns = 0;
    s.occluded = false;
    frames().reset();
    s.draw(impl::frame_kind::first);
    ShowWindow(s.hwnd, SW_SHOW);
    UpdateWindow(s.hwnd);
}

bool application::pump()
{
    impl& s = *impl_;
    if (!s.running) {
        return false;
    }
    HANDLE wake = loop_wake_event();
    MsgWaitForMultipleObjectsEx(wake != nullptr ? 1 : 0, wake != nullptr ? &wake : nullptr, 1, QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    return s.drain_messages();
}

bool application::turn(std::int64_t limit_ns)
{
    impl& s = *impl_;
    if (!s.running) {
        return false;
    }
    s.wait_for_work(limit_ns);
    if (!s.drain_messages()) {
        return false;
    }
    const std::int64_t now = now_ns();
    frames().woke(now);
    on_frame_begin(*s.rc);
    if (!s.running || !s.root || !s.swap_chain || !s.rc->has_target()) {
        return s.running;
    }
    on_update(*s.rc);  // the application's poll, on every wake-up; it asks for a frame on a change
    if (!s.running || s.minimized()) {
        return s.running;
    }
    if (s.occluded) {
        if (now < s.next_occlusion_test) {
            return true;
        }
        if (s.swap_chain->Present(0, DXGI_PRESENT_TEST) == DXGI_STATUS_OCCLUDED) {
            s.next_occlusion_test = now + occlusion_test_ns;
            return true;
        }
        s.occluded = false;
        frames().request_frame();
    }
    if (frames().frame_due(now_ns())) {
        s.draw(impl::frame_kind::scheduled);
    }
    return s.running;
}

void application::wake()
{
    if (HANDLE event = loop_wake_event()) {
        SetEvent(event);
    }
}

int application::run(const std::u16string& title, float width, float height)
{
    open(title, width, height);
    while (turn(frame_schedule::never)) {
    }
    close();
    if (impl_->failure) {
        std::rethrow_exception(impl_->failure);
    }
    return impl_->exit_code;
}

void application::close()
{
    impl& s = *impl_;
    s.running = false;
    if (s.root) {
        s.root->unmount();
        s.root.reset();
    }
    if (s.rc) {
        s.rc->set_target(nullptr, false);
    }
    s.swap_chain.Reset();
    s.dcomp_visual.Reset();
    s.dcomp_target.Reset();
    s.dcomp_device.Reset();
    if (s.hwnd != nullptr && IsWindow(s.hwnd)) {
        SetWindowLongPtrW(s.hwnd, GWLP_USERDATA, 0);
        DestroyWindow(s.hwnd);
    }
    if (s.hwnd != nullptr) {
        // A quit message of this window left in the thread's queue would end the next loop.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    s.hwnd = nullptr;
}

void application::frame()
{
    impl& s = *impl_;
    on_frame_begin(*s.rc);
    if (!s.running || !s.root || !s.swap_chain || !s.rc->has_target()) {
        return;
    }
    on_update(*s.rc);
    s.draw(impl::frame_kind::forced);
}

render_context& application::context()
{
    return *impl_->rc;
}
widget* application::root() const
{
    return impl_->root.get();
}
void* application::window_handle() const
{
    return impl_->hwnd;
}
float application::dpi_scale() const
{
    return impl_->dpi_scale;
}
bool application::running() const
{
    return impl_->running;
}
bool application::uses_composition() const
{
    return impl_->composition;
}
int application::exit_code() const
{
    return impl_->exit_code;
}
void application::capture_next_frame(frame_pixels& out)
{
    out = {};
    impl_->capture = &out;
}
std::int64_t application::last_frame_cpu_ns() const
{
    return impl_->frame_cpu_ns;
}
std::int64_t application::last_frame_paint_ns() const
{
    return impl_->frame_paint_ns;
}
std::uint64_t application::frames_drawn() const
{
    return impl_->frames_drawn;
}
std::uint64_t application::loop_turns() const
{
    return impl_->loop_turns;
}
void application::lose_device_for_testing(device_loss_point where)
{
    impl_->injected_loss = where;
}
std::uint64_t application::devices_recreated() const
{
    return impl_->devices_recreated;
}

void application::on_build(widget&) {}
void application::on_start(render_context&) {}
void application::on_update(render_context&) {}
void application::on_frame_begin(render_context&) {}

void write_png_file(const std::u16string& path, const frame_pixels& pixels)
{
    ComPtr<IWICImagingFactory> wic;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic));
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CoCreateInstance(WICImagingFactory)").view(), hr);
    }
    std::vector<std::uint8_t> data = pixels.bgra;
    if (pixels.opaque) {
        for (std::size_t i = 3; i < data.size(); i += 4) {
            data[i] = 255;
        }
    }
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    const UINT stride = static_cast<UINT>(pixels.width) * 4;
    if (FAILED(hr = wic->CreateStream(&stream)) ||
        FAILED(hr = stream->InitializeFromFilename(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_WRITE)) ||
        FAILED(hr = wic->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) ||
        FAILED(hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) ||
        FAILED(hr = encoder->CreateNewFrame(&frame, nullptr)) || FAILED(hr = frame->Initialize(nullptr)) ||
        FAILED(hr = frame->SetSize(static_cast<UINT>(pixels.width), static_cast<UINT>(pixels.height))) ||
        FAILED(hr = frame->SetPixelFormat(&format)) ||
        FAILED(hr = frame->WritePixels(static_cast<UINT>(pixels.height), stride, static_cast<UINT>(data.size()),
                                       data.data())) ||
        FAILED(hr = frame->Commit()) || FAILED(hr = encoder->Commit())) {
        throw_hresult(PELTO_TEXT("PNG encoder").view(), hr);
    }
    if (format != GUID_WICPixelFormat32bppBGRA) {
        throw std::runtime_error(PELTO_TEXT("PNG encoder: pixel format not accepted").str());
    }
}

}  // namespace d2dui
