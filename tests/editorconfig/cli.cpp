// The EditorConfig core's command-line interface over eolset's own parser
// and matcher, for the EditorConfig core test suite: prints a file's
// properties as `key=value` lines.
//
//   cli [-f NAME] [-b VERSION] FILE...    (-v, --version: the version line)
//
// Only the reading of files is this program's own; what the files mean is
// decided by app/editorconfig.
#include "app/editorconfig.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Loaded {
    ArenaAllocator arena;
    EcFile file;
    std::string folder;
};

// The properties of `target`: the files named `name` in its folder and
// every folder above, up to one that says root = true, outermost applied
// first.
bool resolve(const std::string& target, const char* name, const int version[3],
             std::vector<std::pair<std::string, std::string>>* out) {
    fs::path path = fs::absolute(fs::path(target)).lexically_normal();
    std::vector<Loaded*> files;
    for (fs::path dir = path.parent_path();; dir = dir.parent_path()) {
        std::ifstream in(dir / name, std::ios::binary);
        if (in) {
            std::string data((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            Loaded* l = new Loaded;
            arena_init(&l->arena);
            l->folder = dir.string();
            if (!ec_parse(&l->arena, data.data(), data.size(), &l->file)) return false;
            if (l->file.bad_line)
                fprintf(stderr, "%s: line %u is not taken, nor what follows it\n",
                        (dir / name).string().c_str(), l->file.bad_line);
            files.push_back(l);
            if (l->file.root) break;
        }
        if (dir == dir.root_path() || dir.empty()) break;
    }
    EcProperties p;
    ec_properties_init(&p);
    bool ok = true;
    for (size_t i = files.size(); i-- > 0 && ok;) {
        std::string rel = path.string().substr(files[i]->folder.size());
        while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
        ok = ec_apply(&p, &files[i]->file, rel.data(), rel.size());
    }
    ok = ok && ec_finish(&p, version);
    for (uint32_t i = 0; ok && i < p.count; ++i)
        out->emplace_back(p.items[i].key, p.items[i].value);
    ec_properties_release(&p);
    for (Loaded* l : files) {
        arena_release(&l->arena);
        delete l;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const char* name = ".editorconfig";
    int version[3] = {0, 17, 2};
    std::vector<std::string> targets;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-v" || a == "--version") {
            printf("EditorConfig eolset Version %d.%d.%d\n", version[0], version[1], version[2]);
            return 0;
        }
        if (a == "-f" && i + 1 < argc) {
            name = argv[++i];
        } else if (a == "-b" && i + 1 < argc) {
            if (sscanf(argv[++i], "%d.%d.%d", &version[0], &version[1], &version[2]) < 2) return 2;
        } else {
            targets.push_back(a);
        }
    }
    if (targets.empty()) {
        fprintf(stderr, "usage: cli [-f NAME] [-b VERSION] FILE...\n");
        return 2;
    }
    for (const std::string& t : targets) {
        std::vector<std::pair<std::string, std::string>> props;
        if (!resolve(t, name, version, &props)) {
            fprintf(stderr, "out of memory\n");
            return 1;
        }
        if (targets.size() > 1) printf("[%s]\n", t.c_str());
        for (const auto& kv : props) printf("%s=%s\n", kv.first.c_str(), kv.second.c_str());
    }
    return 0;
}
