#include "PortFolder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>

#include "SysCalls.h"

namespace platform {
namespace {

constexpr size_t kMaxPlainStem = 64;

std::string chooseFolder() {
    const uid_t uid = geteuid();
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (runtime && runtime[0] == '/' && lstat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid) {
        return std::string(runtime) + "/Quillorantics";
    }
    return "/tmp/Quillorantics-" + std::to_string(uid);
}

void setWhy(std::string* why, const std::string& text) {
    if (why) *why = text;
}

bool isPlainNameByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length != 32) {
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 15]);
    }
    return hex;
}

}  // namespace

int openPortFolder(std::string* folderOut, std::string* why) {
    const std::string folder = chooseFolder();
    if (folderOut) *folderOut = folder;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        setWhy(why, "cannot make the port folder " + folder + ": " + std::strerror(errno));
        return -1;
    }
    // O_NOFOLLOW: a symlink planted in place of the folder is refused, not followed.
    const int fd = sys().open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP || err == ENOTDIR) {
            setWhy(why, "the port folder " + folder + " is not a real folder");
        } else {
            setWhy(why, "cannot open the port folder " + folder + ": " + std::strerror(err));
        }
        return -1;
    }
    struct stat st;
    std::string problem;
    if (sys().fstat(fd, &st) != 0) {
        problem = std::string("cannot inspect the port folder ") + folder + ": " + std::strerror(errno);
    } else if (!S_ISDIR(st.st_mode)) {
        problem = "the port folder " + folder + " is not a real folder";
    } else if (st.st_uid != geteuid()) {
        problem = "the port folder " + folder + " belongs to another user";
    } else if ((st.st_mode & 077) != 0) {
        problem = "the port folder " + folder + " is open to other users";
    }
    if (!problem.empty()) {
        sys().close(fd);
        setWhy(why, problem);
        return -1;
    }
    return fd;
}

bool portFolder(std::string* folder, std::string* why) {
    const int fd = openPortFolder(folder, why);
    if (fd < 0) return false;
    sys().close(fd);
    return true;
}

std::string portFolderIdentity(std::string* why) {
    std::string folder;
    const int fd = openPortFolder(&folder, why);
    if (fd < 0) return std::string();
    // The folder as opened, not as spelled: "/run/user/1000/" and a symlink
    // to it name the same folder, hence the same server.
    char canonical[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), canonical, sizeof canonical - 1);
    sys().close(fd);
    if (length <= 0) {
        setWhy(why, "cannot name the port folder " + folder);
        return std::string();
    }
    const std::string hex = sha256Hex(std::string(canonical, static_cast<size_t>(length)));
    if (hex.empty()) {
        setWhy(why, "cannot compute the identity of the port folder " + folder);
        return std::string();
    }
    return hex.substr(0, 16);
}

std::string portFileStem(const std::string& name) {
    bool plain = !name.empty() && name.size() <= kMaxPlainStem && name[0] != '.';
    for (size_t i = 0; plain && i < name.size(); ++i) plain = isPlainNameByte(static_cast<unsigned char>(name[i]));
    if (plain) return name;
    const std::string hex = sha256Hex(name);
    return hex.empty() ? std::string() : "h-" + hex;
}

}  // namespace platform
