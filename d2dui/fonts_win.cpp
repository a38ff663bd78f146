// Fonts served to DirectWrite from memory: one collection loader and one file loader (process-wide
// singletons; DirectWrite holds them only while registered, so their reference counts are not
// tracked), and per use a file enumerator and a file stream (plain reference counts from 1).

#include <dwrite_3.h>

#include <atomic>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>

#include "base/obfuscated.h"
#include "d2dui/direct2d_context.h"
#include "d2dui/font_data.h"

namespace d2dui {

namespace {

using font_buffer = std::vector<std::uint8_t>;
using font_list = std::vector<font_buffer>;

// Keys are the addresses of these objects, so they never move and live as long as the process.
std::mutex store_mutex;
std::list<font_list>& font_store()
{
    static auto* store = new std::list<font_list>();
    return *store;
}

template <typename T>
bool key_pointer(const void* key, UINT32 key_size, T*& out)
{
    if (key == nullptr || key_size != sizeof(T*)) {
        return false;
    }
    std::memcpy(&out, key, sizeof(T*));
    return out != nullptr;
}

// IUnknown for an object that offers one interface `I`: `counted` gives it a reference count from
// 1 and deletes it at 0; `uncounted` is for the process-wide singletons.
template <typename I>
HRESULT query_one(I* self, REFIID iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (iid == __uuidof(IUnknown) || iid == __uuidof(I)) {
        *out = self;
        self->AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

template <typename I>
class counted : public I {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return query_one<I>(this, iid, out); }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    virtual ~counted() = default;

private:
    std::atomic<ULONG> references_{1};
};

template <typename I>
class uncounted : public I {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return query_one<I>(this, iid, out); }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class MemFontFileStream final : public counted<IDWriteFontFileStream> {
public:
    explicit MemFontFileStream(const font_buffer& buffer) : buffer_(buffer) {}

    HRESULT STDMETHODCALLTYPE ReadFileFragment(const void** start, UINT64 offset, UINT64 size,
                                               void** context) override
    {
        if (start == nullptr || context == nullptr) {
            return E_POINTER;
        }
        *context = nullptr;
        if (!fragment_in_bounds(offset, size, buffer_.size())) {
            *start = nullptr;
            return E_FAIL;
        }
        *start = buffer_.data() + offset;
        return S_OK;
    }
    void STDMETHODCALLTYPE ReleaseFileFragment(void*) override {}
    HRESULT STDMETHODCALLTYPE GetFileSize(UINT64* size) override
    {
        if (size == nullptr) {
            return E_POINTER;
        }
        *size = buffer_.size();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLastWriteTime(UINT64* time) override
    {
        if (time == nullptr) {
            return E_POINTER;
        }
        *time = 0;
        return S_OK;
    }

private:
    const font_buffer& buffer_;
};

class MemFontFileLoader final : public uncounted<IDWriteFontFileLoader> {
public:
    HRESULT STDMETHODCALLTYPE CreateStreamFromKey(const void* key, UINT32 key_size,
                                                  IDWriteFontFileStream** stream) override
    {
        if (stream == nullptr) {
            return E_POINTER;
        }
        *stream = nullptr;
        const font_buffer* buffer = nullptr;
        if (!key_pointer(key, key_size, buffer)) {
            return E_INVALIDARG;
        }
        *stream = new (std::nothrow) MemFontFileStream(*buffer);
        return *stream != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

MemFontFileLoader& file_loader()
{
    static MemFontFileLoader loader;
    return loader;
}

class MemFontFileEnumerator final : public counted<IDWriteFontFileEnumerator> {
public:
    MemFontFileEnumerator(IDWriteFactory* factory, const font_list& list) : factory_(factory), list_(list) {}

    HRESULT STDMETHODCALLTYPE MoveNext(BOOL* has_current) override
    {
        if (has_current == nullptr) {
            return E_POINTER;
        }
        *has_current = FALSE;
        current_.Reset();
        if (next_ >= list_.size()) {
            return S_OK;
        }
        const font_buffer* key = &list_[next_++];
        const HRESULT hr = factory_->CreateCustomFontFileReference(&key, sizeof key, &file_loader(), &current_);
        if (FAILED(hr)) {
            return hr;
        }
        *has_current = TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentFontFile(IDWriteFontFile** file) override
    {
        if (file == nullptr) {
            return E_POINTER;
        }
        if (!current_) {
            *file = nullptr;
            return E_FAIL;
        }
        *file = current_.Get();
        (*file)->AddRef();
        return S_OK;
    }

private:
    ComPtr<IDWriteFactory> factory_;
    const font_list& list_;
    ComPtr<IDWriteFontFile> current_;
    std::size_t next_ = 0;
};

class MemFontCollectionLoader final : public uncounted<IDWriteFontCollectionLoader> {
public:
    HRESULT STDMETHODCALLTYPE CreateEnumeratorFromKey(IDWriteFactory* factory, const void* key, UINT32 key_size,
                                                      IDWriteFontFileEnumerator** enumerator) override
    {
        if (enumerator == nullptr) {
            return E_POINTER;
        }
        *enumerator = nullptr;
        const font_list* list = nullptr;
        if (factory == nullptr || !key_pointer(key, key_size, list)) {
            return E_INVALIDARG;
        }
        *enumerator = new (std::nothrow) MemFontFileEnumerator(factory, *list);
        return *enumerator != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

MemFontCollectionLoader& collection_loader()
{
    static MemFontCollectionLoader loader;
    return loader;
}

void register_loaders(IDWriteFactory* factory)
{
    HRESULT hr = factory->RegisterFontFileLoader(&file_loader());
    if (FAILED(hr) && hr != DWRITE_E_ALREADYREGISTERED) {
        throw_hresult(PELTO_TEXT("RegisterFontFileLoader").view(), hr);
    }
    hr = factory->RegisterFontCollectionLoader(&collection_loader());
    if (FAILED(hr) && hr != DWRITE_E_ALREADYREGISTERED) {
        throw_hresult(PELTO_TEXT("RegisterFontCollectionLoader").view(), hr);
    }
}

}  // namespace

std::vector<std::uint8_t> plain_font_bytes(IDWriteFactory* factory, std::vector<std::uint8_t> bytes)
{
    DWRITE_CONTAINER_TYPE container = DWRITE_CONTAINER_TYPE_UNKNOWN;
    switch (sniff_font_container(bytes)) {
    case font_container::opentype:
    case font_container::collection:
        return bytes;
    case font_container::woff:
        container = DWRITE_CONTAINER_TYPE_WOFF;
        break;
    case font_container::woff2:
        container = DWRITE_CONTAINER_TYPE_WOFF2;
        break;
    default:
        throw std::runtime_error(PELTO_TEXT("Embedded font: unknown font container").str());
    }
    ComPtr<IDWriteFactory5> factory5;
    HRESULT hr = factory->QueryInterface(IID_PPV_ARGS(&factory5));
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("Packed font: no version-5 DirectWrite factory").view(), hr);
    }
    ComPtr<IDWriteFontFileStream> stream;
    hr = factory5->UnpackFontFile(container, bytes.data(), static_cast<UINT32>(bytes.size()), &stream);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("UnpackFontFile").view(), hr);
    }
    UINT64 size = 0;
    hr = stream->GetFileSize(&size);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("UnpackFontFile size").view(), hr);
    }
    const void* start = nullptr;
    void* context = nullptr;
    hr = stream->ReadFileFragment(&start, 0, size, &context);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("UnpackFontFile read").view(), hr);
    }
    std::vector<std::uint8_t> plain(static_cast<const std::uint8_t*>(start), static_cast<const std::uint8_t*>(start) + size);
    stream->ReleaseFileFragment(context);
    return plain;
}

ComPtr<IDWriteFontCollection> memory_font_collection(IDWriteFactory* factory, std::vector<std::vector<std::uint8_t>> files)
{
    register_loaders(factory);
    const font_list* key = nullptr;
    {
        std::lock_guard lock(store_mutex);
        key = &font_store().emplace_back(std::move(files));
    }
    ComPtr<IDWriteFontCollection> collection;
    const HRESULT hr = factory->CreateCustomFontCollection(&collection_loader(), &key, sizeof key, &collection);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateCustomFontCollection").view(), hr);
    }
    return collection;
}

ComPtr<IDWriteFontFallback> chained_font_fallback(IDWriteFactory* factory, const std::vector<font_mapping>& ours,
                                                  const font_mapping& last_resort)
{
    ComPtr<IDWriteFactory2> factory2;
    if (FAILED(factory->QueryInterface(IID_PPV_ARGS(&factory2)))) {
        return nullptr;
    }
    ComPtr<IDWriteFontFallbackBuilder> builder;
    HRESULT hr = factory2->CreateFontFallbackBuilder(&builder);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateFontFallbackBuilder").view(), hr);
    }
    auto add = [&](const std::vector<DWRITE_UNICODE_RANGE>& ranges, const font_mapping& m) {
        const WCHAR* names[] = {reinterpret_cast<const WCHAR*>(m.family.c_str())};
        hr = builder->AddMapping(ranges.data(), static_cast<UINT32>(ranges.size()), names, 1, m.collection, nullptr,
                                 nullptr, 1.0f);
        if (FAILED(hr)) {
            throw_hresult(PELTO_TEXT("IDWriteFontFallbackBuilder::AddMapping").view(), hr);
        }
    };
    for (const font_mapping& m : ours) {
        add(m.ranges, m);
    }
    // The system's mappings come after ours, so our families keep the scripts they carry; a
    // system without a fallback of its own (or one that will not hand it out) just goes on.
    ComPtr<IDWriteFontFallback> system;
    if (SUCCEEDED(factory2->GetSystemFontFallback(&system)) && system) {
        builder->AddMappings(system.Get());
    }
    add({{0x0000, 0x10FFFF}}, last_resort);
    ComPtr<IDWriteFontFallback> fallback;
    hr = builder->CreateFontFallback(&fallback);
    if (FAILED(hr)) {
        throw_hresult(PELTO_TEXT("CreateFontFallback").view(), hr);
    }
    return fallback;
}

}  // namespace d2dui
