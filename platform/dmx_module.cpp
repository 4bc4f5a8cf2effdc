#include "platform/dmx_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace glowtern {

namespace {

// What the module exports (platform/dmx_ola.cpp).
using CreateDmxLink = DmxLink* (*)();
constexpr const char* kCreateSymbol = "GlowternCreateDmxLink";

std::string programDirectory() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    std::string directory(path, static_cast<size_t>(length));
    return directory.substr(0, directory.rfind('/'));
}

}  // namespace

DmxModuleLink::DmxModuleLink() = default;

DmxModuleLink::~DmxModuleLink() {
    // The module stays loaded until the process ends: libola and protobuf leave exit-time
    // destructors behind that must still find their code.
    link_.reset();
}

bool DmxModuleLink::load() {
    const std::string directory = programDirectory();
    std::string error = "no " + std::string(kFileName) + " beside the program or in " + directory +
                        "/../lib/glowtern";
    for (const std::string& candidate :
         {directory + "/" + kFileName, directory + "/../lib/glowtern/" + kFileName}) {
        if (::access(candidate.c_str(), F_OK) != 0) {
            continue;
        }
        void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* why = ::dlerror();
            error = why != nullptr ? why : candidate;
            break;  // there, but its libraries are not
        }
        const auto create = reinterpret_cast<CreateDmxLink>(::dlsym(module, kCreateSymbol));
        if (create == nullptr) {
            error = candidate + " is not Glowtern's DMX module";
            ::dlclose(module);
            break;
        }
        link_.reset(create());
        return true;
    }
    if (!failureReported_) {
        failureReported_ = true;
        std::fprintf(stderr, "Glowtern: DMX cannot reach OLA: %s\n", error.c_str());
    }
    return false;
}

bool DmxModuleLink::connect() {
    if (!link_ && !load()) {
        return false;
    }
    return link_->connect();
}

DmxLink::SendResult DmxModuleLink::send(uint32_t universe, const DmxChannelValues& channels) {
    return link_ ? link_->send(universe, channels) : SendResult::Lost;
}

void DmxModuleLink::close() {
    if (link_) {
        link_->close();
    }
}

}  // namespace glowtern
