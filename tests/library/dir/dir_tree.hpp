// A private directory tree for page tests, with fixed times, modes and
// contents, removed when the test ends.
#ifndef DIR_TREE_HPP
#define DIR_TREE_HPP

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

struct TempTree {
    std::string root;   // without a final '/'

    TempTree()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/dirtest.XXXXXX";
        if (mkdtemp(t.data()) != nullptr)
            root = t;
    }
    ~TempTree()
    {
        if (!root.empty()) {
            std::error_code ec;
            std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
            std::filesystem::remove_all(root, ec);
        }
    }
    std::string path(const std::string &name) const { return root + "/" + name; }
    void file(const std::string &name, const std::string &bytes, mode_t mode = 0644, time_t when = 0)
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
        chmod(path(name).c_str(), mode);
        if (when)
            stamp(name, when);
    }
    void dir(const std::string &name, mode_t mode = 0755, time_t when = 0)
    {
        mkdir(path(name).c_str(), mode);
        chmod(path(name).c_str(), mode);
        if (when)
            stamp(name, when);
    }
    void link(const std::string &name, const std::string &target, time_t when = 0)
    {
        (void)!symlink(target.c_str(), path(name).c_str());
        if (when)
            stamp(name, when);
    }
    void stamp(const std::string &name, time_t when)
    {
        struct timespec t[2] = {{when, 0}, {when, 0}};
        utimensat(AT_FDCWD, path(name).c_str(), t, AT_SYMLINK_NOFOLLOW);
    }
    long long size(const std::string &name) const
    {
        struct stat st;
        return lstat(path(name).c_str(), &st) == 0 ? st.st_size : -1;
    }
};

// The page tests read dates in a fixed zone.
struct FixedZone {
    std::string old;
    bool had = false;
    explicit FixedZone(const char *zone)
    {
        if (const char *z = std::getenv("TZ")) {
            old = z;
            had = true;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~FixedZone()
    {
        if (had)
            setenv("TZ", old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

#endif
