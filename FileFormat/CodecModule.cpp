// Finding and loading the codec modules, once per process.
#include "CodecModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

namespace tilvo {

namespace {

struct TLoadedModule {
    void* Handle = nullptr;
    std::string Error;  // why Handle is null
};

// The folder of the running program, with its trailing slash; empty when it cannot be told.
std::string ProgramFolder() {
    std::vector<char> path(4096);
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || size_t(n) >= path.size()) return {};
    std::string folder(path.data(), size_t(n));
    folder.erase(folder.rfind('/') + 1);
    return folder;
}

// Where a module may be, in the order it is looked for: beside the program (the build tree puts
// each program's modules there), the installed library folder found from the program's bin/
// folder (a moved install tree), and the one of the prefix the build was made for.
std::vector<std::string> ModuleFolders() {
    std::vector<std::string> folders;
    const std::string program = ProgramFolder();
    if (!program.empty()) {
        folders.push_back(program);
        folders.push_back(program + TILVO_MODULE_DIR_FROM_BIN "/");
    }
    folders.push_back(TILVO_MODULE_DIR "/");
    return folders;
}

TLoadedModule LoadModule(const std::string& name) {
    TLoadedModule loaded;
    const std::string file = name + ".so";
    std::string looked;
    for (const std::string& folder : ModuleFolders()) {
        const std::string path = folder + file;
        if (access(path.c_str(), F_OK) != 0) {
            looked += (looked.empty() ? "" : ", ") + folder;
            continue;
        }
        // Bound now, so that a missing symbol shows here and not in the middle of a decode; kept
        // local, so that the module's libraries never stand in for the program's own.
        loaded.Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (loaded.Handle) return loaded;
        const char* why = dlerror();
        loaded.Error = "the codec module " + path + " cannot be loaded: " + (why ? why : "?");
        return loaded;
    }
    loaded.Error = "the codec module " + file + " is not installed (looked in " + looked + ")";
    return loaded;
}

}  // namespace

std::string HelperProgramPath(const std::string& name, std::string& error) {
    std::string looked;
    for (const std::string& folder : ModuleFolders()) {
        const std::string path = folder + name;
        if (access(path.c_str(), X_OK) == 0) return path;
        looked += (looked.empty() ? "" : ", ") + folder;
    }
    error = "the helper program " + name + " is not installed (looked in " + looked + ")";
    return {};
}

void* CodecModuleSymbol(const std::string& name, const char* symbol, std::string& error) {
    static std::mutex lock;
    static std::map<std::string, TLoadedModule> modules;  // never unloaded
    const std::lock_guard<std::mutex> guard(lock);
    auto found = modules.find(name);
    if (found == modules.end()) found = modules.emplace(name, LoadModule(name)).first;
    const TLoadedModule& module = found->second;
    if (!module.Handle) {
        error = module.Error;
        return nullptr;
    }
    dlerror();
    void* address = dlsym(module.Handle, symbol);
    if (!address) error = "the codec module " + name + ".so has no " + symbol;
    return address;
}

}  // namespace tilvo
