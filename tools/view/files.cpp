// The files behind the paths given, one form of each day, and the notes on
// files that cannot be read whole.
#include "files.h"

#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "reader/dayfile.h"

namespace view {

void Notes::file(const std::string &path, const std::string &why) {
    if (!files_.insert(path).second || quiet_) return;
    std::fprintf(stderr, "tembra-view: %s: %s\n", path.c_str(), why.c_str());
}

void Notes::reader_error(const std::string &path, const std::string &error) {
    file(path, error.starts_with(path + ": ") ? error.substr(path.size() + 2) : error);
}

namespace {

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Of the files of one day in one directory, the plain one, else the last.
std::vector<std::string> one_form_a_day(const std::vector<std::string> &files) {
    std::map<std::pair<std::string, int>, size_t> chosen;
    for (size_t i = 0; i < files.size(); ++i) {
        int date = dayfile::date_of(files[i]);
        if (date == 0) continue;
        auto [at, fresh] = chosen.try_emplace({directory_of(files[i]), date}, i);
        if (!fresh && !files[at->second].ends_with(".log")) at->second = i;
    }
    std::vector<std::string> kept;
    for (size_t i = 0; i < files.size(); ++i) {
        int date = dayfile::date_of(files[i]);
        if (date == 0 || chosen[{directory_of(files[i]), date}] == i) kept.push_back(files[i]);
    }
    return kept;
}

std::string group_of(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "";
    group *g = getgrgid(st.st_gid);
    return g ? g->gr_name : std::to_string(st.st_gid);
}

}  // namespace

std::vector<std::string> files_of(const std::vector<std::string> &paths, std::vector<Closed> &closed, std::string &why) {
    std::vector<std::string> files;
    for (const std::string &path : paths) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            why = path + ": " + strerror(errno);
            return {};
        }
        if (!S_ISDIR(st.st_mode)) {
            files.push_back(path);
            continue;
        }
        if (DIR *d = opendir(path.c_str())) closedir(d);
        else closed.push_back({path, strerror(errno), errno == EACCES});
        for (const dayfile::DayFile &f : dayfile::list_day_files(path)) files.push_back(f.path);
    }
    return one_form_a_day(files);
}

std::string access_hint(const std::vector<std::string> &files, const std::vector<Closed> &closed) {
    std::string denied;
    for (const std::string &f : files) {
        if (access(f.c_str(), R_OK) == 0 || errno != EACCES) return "";
        if (denied.empty()) denied = f;
    }
    for (const Closed &c : closed) {
        if (!c.denied) return "";
        if (denied.empty()) denied = c.path;
    }
    if (denied.empty()) return "";
    std::string where = files.empty() ? denied : directory_of(denied);
    return "you may not read the day files in " + (where.empty() ? std::string(".") : where) +
           ": members of group '" + group_of(denied) + "' may (or root)";
}

}  // namespace view
