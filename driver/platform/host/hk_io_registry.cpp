// Host kernel io: the registry — an in-memory tree of keys and values with case-insensitive
// names, reached by drivers through key handles (ZwCreateKey, ZwOpenKey, ZwQueryValueKey, ...)
// and by tests through paths.
#include <string.h>

#include "hk_io_internal.h"

namespace hk {
namespace io {
namespace {

struct Value {
    std::string name;
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

struct Key {
    std::string name;
    Key* parent = nullptr;
    bool deleted = false;
    std::map<std::string, std::shared_ptr<Key>> subkeys;  // by lower-case name
    std::map<std::string, Value> values;                 // by lower-case name
};

struct KeyBody {
    std::shared_ptr<Key>* key;
};

struct Registry {
    std::shared_ptr<Key> root = std::make_shared<Key>();
    std::map<std::string, NTSTATUS> failOpen;  // lower-case path -> status
};
Registry* g_registry = nullptr;

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string PathOf(const Key* key) {
    std::string path;
    for (const Key* k = key; k != nullptr && k->parent != nullptr; k = k->parent) path = "\\" + k->name + path;
    return path;
}

std::shared_ptr<Key> Find(const std::shared_ptr<Key>& from, const std::vector<std::string>& parts, size_t count) {
    std::shared_ptr<Key> key = from;
    for (size_t i = 0; i < count && key != nullptr; ++i) {
        auto it = key->subkeys.find(Lower(parts[i]));
        key = it == key->subkeys.end() ? nullptr : it->second;
    }
    return key;
}

std::shared_ptr<Key> Create(const std::shared_ptr<Key>& parent, const std::string& name) {
    auto key = std::make_shared<Key>();
    key->name = name;
    key->parent = parent.get();
    parent->subkeys[Lower(name)] = key;
    return key;
}

void MarkDeleted(Key* key) {
    key->deleted = true;
    for (auto& sub : key->subkeys) MarkDeleted(sub.second.get());
}

void DeleteKeyBody(PVOID body) {
    KeyBody* k = static_cast<KeyBody*>(body);
    delete k->key;
    k->key = nullptr;
}

void RequireIrql(KIRQL most, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > most) Violation(rule::kIrql, "%s called at IRQL %u (must be at most %u)", routine, irql, most);
}

// Resolves OBJECT_ATTRIBUTES to (parent key, remaining path parts).
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, std::shared_ptr<Key>* base, std::vector<std::string>* parts,
                 std::string* fullPath) {
    if (attributes == nullptr || attributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
    std::string name = Narrow(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr) {
        PVOID object = nullptr;
        NTSTATUS status =
            ObReferenceObjectByHandle(attributes->RootDirectory, 0, KeyType(), KernelMode, &object, nullptr);
        if (!NT_SUCCESS(status)) return status;
        std::shared_ptr<Key> root = *static_cast<KeyBody*>(object)->key;
        ObfDereferenceObject(object);
        if (root->deleted) return STATUS_KEY_DELETED;
        if (!name.empty() && name[0] == '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *base = root;
        *parts = SplitPath(name);
        *fullPath = PathOf(root.get()) + "\\" + name;
        return STATUS_SUCCESS;
    }
    if (name.empty() || name[0] != '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::vector<std::string> all = SplitPath(name);
    if (all.empty() || Lower(all[0]) != "registry") return STATUS_OBJECT_PATH_NOT_FOUND;
    all.erase(all.begin());
    *base = g_registry->root;
    *parts = all;
    *fullPath = "\\Registry";
    for (const std::string& p : all) *fullPath += "\\" + p;
    return STATUS_SUCCESS;
}

NTSTATUS OpenOrCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, bool create,
                      PULONG disposition, const char* routine) {
    RequireIrql(PASSIVE_LEVEL, routine);
    *handle = nullptr;
    std::shared_ptr<Key> base;
    std::vector<std::string> parts;
    std::string fullPath;
    NTSTATUS status = Resolve(attributes, &base, &parts, &fullPath);
    if (!NT_SUCCESS(status)) return status;
    auto failure = g_registry->failOpen.find(Lower(fullPath));
    if (failure != g_registry->failOpen.end()) return failure->second;
    std::shared_ptr<Key> key = Find(base, parts, parts.size());
    ULONG result = REG_OPENED_EXISTING_KEY;
    if (key == nullptr) {
        if (!create || parts.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        std::shared_ptr<Key> parent = Find(base, parts, parts.size() - 1);
        if (parent == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        key = Create(parent, parts.back());
        result = REG_CREATED_NEW_KEY;
    }
    KeyBody* body = static_cast<KeyBody*>(CreateObject(KeyType(), sizeof(KeyBody), DeleteKeyBody));
    body->key = new std::shared_ptr<Key>(key);
    PEPROCESS owner = (attributes->Attributes & OBJ_KERNEL_HANDLE) ? SystemProcess() : CurrentProcess();
    status = InsertHandle(owner, body, access, handle);
    ObfDereferenceObject(body);
    if (NT_SUCCESS(status) && disposition != nullptr) *disposition = result;
    return status;
}

NTSTATUS KeyOfHandle(HANDLE handle, std::shared_ptr<Key>* key) {
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, KeyType(), KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *key = *static_cast<KeyBody*>(object)->key;
    ObfDereferenceObject(object);
    return (*key)->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

std::shared_ptr<Key> KeyAt(const std::string& path) {
    std::vector<std::string> parts = SplitPath(path);
    if (parts.empty() || Lower(parts[0]) != "registry") return nullptr;
    parts.erase(parts.begin());
    return Find(g_registry->root, parts, parts.size());
}

}  // namespace

void RegistryBoot() {
    g_registry = new Registry;
    reg::CreateKey("\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    reg::CreateKey("\\Registry\\Machine\\Software");
}

void RegistryShutdown() {
    delete g_registry;
    g_registry = nullptr;
}

}  // namespace io

namespace reg {

std::string ServicePath(const char* serviceName) {
    return std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + serviceName;
}

bool CreateKey(const std::string& path) {
    std::vector<std::string> parts = io::SplitPath(path);
    if (parts.empty() || io::Lower(parts[0]) != "registry") return false;
    std::shared_ptr<io::Key> key = io::g_registry->root;
    for (size_t i = 1; i < parts.size(); ++i) {
        auto it = key->subkeys.find(io::Lower(parts[i]));
        key = it != key->subkeys.end() ? it->second : io::Create(key, parts[i]);
    }
    return true;
}

bool Exists(const std::string& path) { return io::KeyAt(path) != nullptr; }

bool DeleteKey(const std::string& path) {
    std::shared_ptr<io::Key> key = io::KeyAt(path);
    if (key == nullptr || key->parent == nullptr) return false;
    io::MarkDeleted(key.get());
    key->parent->subkeys.erase(io::Lower(key->name));
    return true;
}

bool SetValue(const std::string& path, const std::string& name, ULONG type, const void* data, ULONG length) {
    CreateKey(path);
    std::shared_ptr<io::Key> key = io::KeyAt(path);
    if (key == nullptr) return false;
    io::Value& v = key->values[io::Lower(name)];
    v.name = name;
    v.type = type;
    v.data.assign(static_cast<const UCHAR*>(data), static_cast<const UCHAR*>(data) + length);
    return true;
}

bool SetDword(const std::string& path, const std::string& name, ULONG value) {
    return SetValue(path, name, REG_DWORD, &value, sizeof value);
}

bool GetValue(const std::string& path, const std::string& name, ULONG* type, std::vector<UCHAR>* data) {
    std::shared_ptr<io::Key> key = io::KeyAt(path);
    if (key == nullptr) return false;
    auto it = key->values.find(io::Lower(name));
    if (it == key->values.end()) return false;
    if (type != nullptr) *type = it->second.type;
    if (data != nullptr) *data = it->second.data;
    return true;
}

bool GetDword(const std::string& path, const std::string& name, ULONG* value) {
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!GetValue(path, name, &type, &data) || type != REG_DWORD || data.size() != sizeof(ULONG)) return false;
    memcpy(value, data.data(), sizeof(ULONG));
    return true;
}

bool DeleteValue(const std::string& path, const std::string& name) {
    std::shared_ptr<io::Key> key = io::KeyAt(path);
    return key != nullptr && key->values.erase(io::Lower(name)) != 0;
}

void FailOpen(const std::string& path, NTSTATUS status) { io::g_registry->failOpen[io::Lower(path)] = status; }

void ClearFailures() { io::g_registry->failOpen.clear(); }

}  // namespace reg
}  // namespace hk

using hk::io::Key;

extern "C" {

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    (void)TitleIndex;
    (void)Class;
    (void)CreateOptions;
    return hk::io::OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition, "ZwCreateKey");
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return hk::io::OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr, "ZwOpenKey");
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
    std::shared_ptr<Key> key;
    NTSTATUS status = hk::io::KeyOfHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    auto it = key->values.find(hk::io::Lower(hk::io::Narrow(ValueName)));
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const hk::io::Value& value = it->second;
    std::u16string name = hk::io::Widen(value.name);
    ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.data.size());
    ULONG fixed, total;
    switch (KeyValueInformationClass) {
        case KeyValuePartialInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            total = fixed + dataBytes;
            break;
        case KeyValueBasicInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            total = fixed + nameBytes;
            break;
        case KeyValueFullInformation:
            fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            total = ((fixed + nameBytes + 7) & ~7u) + dataBytes;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = total;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
    UCHAR* out = static_cast<UCHAR*>(KeyValueInformation);
    bool complete = Length >= total;
    switch (KeyValueInformationClass) {
        case KeyValuePartialInformation: {
            PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
            info->TitleIndex = 0;
            info->Type = value.type;
            info->DataLength = dataBytes;
            if (complete && dataBytes != 0) memcpy(info->Data, value.data.data(), dataBytes);
            break;
        }
        case KeyValueBasicInformation: {
            PKEY_VALUE_BASIC_INFORMATION info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(out);
            info->TitleIndex = 0;
            info->Type = value.type;
            info->NameLength = nameBytes;
            if (complete) memcpy(out + fixed, name.data(), nameBytes);
            break;
        }
        default: {
            PKEY_VALUE_FULL_INFORMATION info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(out);
            info->TitleIndex = 0;
            info->Type = value.type;
            info->DataOffset = (fixed + nameBytes + 7) & ~7u;
            info->DataLength = dataBytes;
            info->NameLength = nameBytes;
            if (complete) {
                memcpy(out + fixed, name.data(), nameBytes);
                if (dataBytes != 0) memcpy(out + info->DataOffset, value.data.data(), dataBytes);
            }
            break;
        }
    }
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    (void)TitleIndex;
    hk::io::RequireIrql(PASSIVE_LEVEL, "ZwSetValueKey");
    std::shared_ptr<Key> key;
    NTSTATUS status = hk::io::KeyOfHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::string name = ValueName != nullptr ? hk::io::Narrow(ValueName) : std::string();
    hk::io::Value& value = key->values[hk::io::Lower(name)];
    value.name = name;
    value.type = Type;
    value.data.assign(static_cast<const UCHAR*>(Data), static_cast<const UCHAR*>(Data) + DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "ZwDeleteValueKey");
    std::shared_ptr<Key> key;
    NTSTATUS status = hk::io::KeyOfHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    return key->values.erase(hk::io::Lower(hk::io::Narrow(ValueName))) != 0 ? STATUS_SUCCESS
                                                                             : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "ZwDeleteKey");
    std::shared_ptr<Key> key;
    NTSTATUS status = hk::io::KeyOfHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    if (!key->subkeys.empty()) return STATUS_ACCESS_DENIED;  // a key with subkeys cannot be deleted
    key->deleted = true;
    if (key->parent != nullptr) key->parent->subkeys.erase(hk::io::Lower(key->name));
    return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    std::shared_ptr<Key> key;
    return hk::io::KeyOfHandle(KeyHandle, &key);
}

}  // extern "C"
