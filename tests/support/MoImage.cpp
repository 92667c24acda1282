// Hand-built MO catalogues (see MoImage.h).
#include "tests/support/MoImage.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fixture {

void WriteFile(const std::string &Path, const std::string &Bytes) {
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    if (!Out)
        throw std::runtime_error("cannot write " + Path);
}

std::string ReadFile(const std::string &Path) {
    std::ifstream In(Path, std::ios::binary);
    std::ostringstream Bytes;
    Bytes << In.rdbuf();
    return Bytes.str();
}

namespace {
void PutWord(std::string &Image, std::size_t Offset, std::uint32_t Value, bool BigEndian) {
    for (int I = 0; I < 4; ++I) {
        const int Shift = BigEndian ? 24 - 8 * I : 8 * I;
        Image[Offset + static_cast<std::size_t>(I)] = static_cast<char>((Value >> Shift) & 0xFF);
    }
}
bool IsBigEndian(const std::string &Image) {
    return static_cast<unsigned char>(Image[0]) == 0x95;
}
} // namespace

std::string MoImage(std::vector<TEntry> Entries, bool BigEndian) {
    std::sort(Entries.begin(), Entries.end(), [](const TEntry &A, const TEntry &B) {
        // std::string compares char as unsigned bytes, as the format's order requires.
        return A.Original < B.Original;
    });
    const auto N = static_cast<std::uint32_t>(Entries.size());
    const std::uint32_t Originals = 28, Translated = 28 + 8 * N;
    std::string Image(28 + 16 * std::size_t(N), '\0');
    PutWord(Image, 0, 0x950412de, BigEndian);
    PutWord(Image, 8, N, BigEndian);
    PutWord(Image, 12, Originals, BigEndian);
    PutWord(Image, 16, Translated, BigEndian);
    PutWord(Image, 20, 0, BigEndian); // no hash table
    PutWord(Image, 24, static_cast<std::uint32_t>(Image.size()), BigEndian);
    auto Add = [&](std::uint32_t Table, std::uint32_t I, const std::string &Text) {
        PutWord(Image, Table + 8 * I, static_cast<std::uint32_t>(Text.size()), BigEndian);
        PutWord(Image, Table + 8 * I + 4, static_cast<std::uint32_t>(Image.size()), BigEndian);
        Image += Text;
        Image += '\0';
    };
    for (std::uint32_t I = 0; I < N; ++I)
        Add(Originals, I, Entries[I].Original);
    for (std::uint32_t I = 0; I < N; ++I)
        Add(Translated, I, Entries[I].Translation);
    return Image;
}

std::uint32_t MoWord(const std::string &Image, std::size_t Offset) {
    std::uint32_t Value = 0;
    for (int I = 0; I < 4; ++I) {
        const auto Byte = static_cast<unsigned char>(Image.at(Offset + static_cast<std::size_t>(I)));
        Value |= std::uint32_t(Byte) << (IsBigEndian(Image) ? 24 - 8 * I : 8 * I);
    }
    return Value;
}

void SetMoWord(std::string &Image, std::size_t Offset, std::uint32_t Value) {
    PutWord(Image, Offset, Value, IsBigEndian(Image));
}

} // namespace fixture
