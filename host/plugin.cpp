#include "plugin.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <vector>

namespace plchost {

namespace {

// dlopen hands out one handle per file, so two Plugins on the same file
// would share (and fight over) one driver object.
std::mutex openMutex;
std::set<void *> openHandles;

template <typename F>
bool resolve(void *handle, const char *name, F *out, std::string *missing) {
    *out = reinterpret_cast<F>(dlsym(handle, name));
    if (!*out && missing->empty())
        *missing = name;
    return *out != nullptr;
}

template <typename T>
bool readAt(std::ifstream &file, std::uint64_t offset, T *out) {
    file.seekg(std::streamoff(offset));
    return bool(file.read(reinterpret_cast<char *>(out), sizeof(T)));
}

// The DT_NEEDED entries of an ELF shared object of this machine's class and byte
// order, read from the file through its program headers, as the loader finds
// them, without loading it. False when the file is not such an object.
bool neededLibraries(const std::string &path, std::vector<std::string> *needed) {
    std::ifstream file(path, std::ios::binary);
    ElfW(Ehdr) header;
    if (!readAt(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32) ||
        header.e_ident[EI_DATA] !=
            (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB) ||
        header.e_phentsize != sizeof(ElfW(Phdr)))
        return false;
    std::vector<ElfW(Phdr)> segments(header.e_phnum);
    const ElfW(Phdr) *dynamic = nullptr;
    for (int i = 0; i < header.e_phnum; ++i) {
        if (!readAt(file, header.e_phoff + std::uint64_t(i) * sizeof(ElfW(Phdr)), &segments[i]))
            return false;
        if (segments[i].p_type == PT_DYNAMIC)
            dynamic = &segments[i];
    }
    if (!dynamic)
        return false;
    std::vector<std::uint64_t> names; // offsets into the string table
    std::uint64_t stringTable = 0;    // its address in memory
    for (std::uint64_t at = 0; at + sizeof(ElfW(Dyn)) <= dynamic->p_filesz;
         at += sizeof(ElfW(Dyn))) {
        ElfW(Dyn) entry;
        if (!readAt(file, dynamic->p_offset + at, &entry))
            return false;
        if (entry.d_tag == DT_NULL)
            break;
        if (entry.d_tag == DT_NEEDED)
            names.push_back(entry.d_un.d_val);
        else if (entry.d_tag == DT_STRTAB)
            stringTable = entry.d_un.d_ptr;
    }
    for (const ElfW(Phdr) &segment : segments) // the file offset of the table's address
        if (segment.p_type == PT_LOAD && stringTable >= segment.p_vaddr &&
            stringTable < segment.p_vaddr + segment.p_filesz) {
            for (const std::uint64_t name : names) {
                file.seekg(
                    std::streamoff(segment.p_offset + stringTable - segment.p_vaddr + name));
                std::string library;
                if (!std::getline(file, library, '\0'))
                    return false;
                needed->push_back(library);
            }
            return true;
        }
    return false;
}

// A plug-in built for another Qt major (it needs libQt<major>Core and the like)
// passes QString, QByteArray and QList with another layout: it is refused before
// anything of it is loaded or run. A file that cannot be read as ELF is left to
// dlopen, which says why it cannot load it.
std::string otherQtRefusal(const std::string &path) {
    std::vector<std::string> needed;
    if (!neededLibraries(path, &needed))
        return {};
    for (const std::string &library : needed) {
        int major = 0;
        if (std::sscanf(library.c_str(), "libQt%d", &major) == 1 && major != QT_VERSION_MAJOR)
            return path + " is built for Qt " + std::to_string(major) + " (it needs " + library +
                   ") but this host uses Qt " + std::to_string(QT_VERSION_MAJOR) +
                   ": load a plug-in built with -DPLC_QT_MAJOR=" +
                   std::to_string(QT_VERSION_MAJOR);
    }
    return {};
}

} // namespace

Plugin::~Plugin() {
    if (!handle_)
        return;
    {
        std::lock_guard<std::mutex> lock(openMutex);
        openHandles.erase(handle_);
    }
    dlclose(handle_);
}

bool Plugin::open(const std::string &path, std::string *error) {
    *error = otherQtRefusal(path);
    if (!error->empty())
        return false;
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        *error = "cannot load the driver plug-in: " + std::string(dlerror());
        return false;
    }
    std::string missing;
    PluginApi a;
    resolve(handle, "SetComInfo", &a.SetComInfo, &missing);
    resolve(handle, "FlashLocalRegister", &a.FlashLocalRegister, &missing);
    resolve(handle, "RegistCallBackFuncIntf", &a.RegistCallBackFuncIntf, &missing);
    resolve(handle, "PLCAddressChangeIntef", &a.PLCAddressChangeIntef, &missing);
    resolve(handle, "AddListOnceReadVar", &a.AddListOnceReadVar, &missing);
    resolve(handle, "ReCreatReadVarList", &a.ReCreatReadVarList, &missing);
    resolve(handle, "ComCommunication", &a.ComCommunication, &missing);
    resolve(handle, "EnCommStation", &a.EnCommStation, &missing);
    resolve(handle, "DataCom", &a.DataCom, &missing);
    resolve(handle, "GetRegisterData", &a.GetRegisterData, &missing);
    resolve(handle, "SetRegisterData", &a.SetRegisterData, &missing);
    resolve(handle, "QueryFinishFlag", &a.QueryFinishFlag, &missing);
    std::lock_guard<std::mutex> lock(openMutex);
    if (!missing.empty() || !openHandles.insert(handle).second) {
        *error = missing.empty() ? path + " is already in use by another host in this process"
                                 : path + " lacks the entry point " + missing;
        dlclose(handle);
        return false;
    }
    handle_ = handle;
    api_ = a;
    return true;
}

} // namespace plchost
