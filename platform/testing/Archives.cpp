#include "platform/testing/Archives.hpp"

#include "platform/testing/Programs.hpp"

#include <gtest/gtest.h>

namespace tavik::testing {

namespace fs = std::filesystem;

namespace {

void writeWithPython(const fs::path& archive, std::string script, const std::string& add, const std::vector<std::string>& entries)
{
    for (const auto& entry : entries)
        script += "    " + add + "(*" + entry + ")\n";
    if (entries.empty())
        script += "    pass\n";
    if (archive.has_parent_path())
        fs::create_directories(archive.parent_path());
    ASSERT_EQ(run({"python3", "-c", script, archive.string()}), 0) << "writing " << archive;
}

} // namespace

void writePythonZip(const fs::path& archive, const std::vector<std::string>& entries)
{
    writeWithPython(archive, R"(import sys, zipfile
def info(name, mode):
    i = zipfile.ZipInfo(name, (2024, 5, 6, 7, 8, 10))
    i.create_system = 3
    i.external_attr = mode << 16
    return i
def file(name, data=b"data"):
    return info(name, 0o100644), data
def folder(name):
    return info(name, 0o040755), b""
def link(name, target):
    return info(name, 0o120755), target
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
)",
        "z.writestr", entries);
}

void writePythonTar(const fs::path& archive, const std::vector<std::string>& entries)
{
    writeWithPython(archive, R"(import io, sys, tarfile
def info(name, kind, data=b""):
    i = tarfile.TarInfo(name)
    i.type = kind
    i.mode = 0o755 if kind in (tarfile.DIRTYPE, tarfile.SYMTYPE) else 0o644
    i.size = len(data) if kind == tarfile.REGTYPE else 0
    i.mtime = 1700000000
    return i, io.BytesIO(data) if kind == tarfile.REGTYPE else None
def file(name, data=b"data"):
    return info(name, tarfile.REGTYPE, data)
def folder(name):
    return info(name, tarfile.DIRTYPE)
def link(name, target):
    i, _ = info(name, tarfile.SYMTYPE)
    i.linkname = target
    return i, None
def hardlink(name, target):
    i, _ = info(name, tarfile.LNKTYPE)
    i.linkname = target
    return i, None
def device(name):
    i, _ = info(name, tarfile.CHRTYPE)
    i.devmajor, i.devminor = 1, 3
    return i, None
def fifo(name):
    return info(name, tarfile.FIFOTYPE)
with tarfile.open(sys.argv[1], "w", format=tarfile.GNU_FORMAT) as t:
)",
        "t.addfile", entries);
}

} // namespace tavik::testing
