#pragma once

// Reads what the dynamic loader sees of a built shared object: its dynamic
// symbols and the symbol versions it needs. Handles 32- and 64-bit
// little-endian ELF, so both flavours check their own plugin file.

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace ironpost::testing_support {

struct ElfDynamicSymbol {
    std::string name;
    std::string version;  // "" when unversioned
    unsigned char type = STT_NOTYPE;
    unsigned char binding = STB_GLOBAL;
    bool defined = false;
};

struct ElfDynamicView {
    std::vector<ElfDynamicSymbol> symbols;
    std::vector<std::string> needed_versions;  // every version any DT_NEEDED library must define
};

namespace elf_detail {

template <typename T>
std::optional<T> ReadAt(const std::string& bytes, std::uint64_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

inline std::string StringAt(const std::string& bytes, std::uint64_t table, std::uint64_t size,
                            std::uint64_t index) {
    if (index >= size || table + size > bytes.size()) {
        return "";
    }
    const char* start = bytes.data() + table + index;
    return std::string(start, strnlen(start, size - index));
}

// Version records have the same layout in both classes.
template <typename Ehdr, typename Shdr, typename Sym>
std::optional<ElfDynamicView> Read(const std::string& bytes) {
    const auto header = ReadAt<Ehdr>(bytes, 0);
    if (!header || header->e_shentsize != sizeof(Shdr)) {
        return std::nullopt;
    }
    std::vector<Shdr> sections;
    for (unsigned index = 0; index < header->e_shnum; ++index) {
        const auto section = ReadAt<Shdr>(bytes, header->e_shoff + index * sizeof(Shdr));
        if (!section) {
            return std::nullopt;
        }
        sections.push_back(*section);
    }
    auto strings_of = [&](const Shdr& section) -> const Shdr* {
        return section.sh_link < sections.size() ? &sections[section.sh_link] : nullptr;
    };
    ElfDynamicView view;
    std::vector<std::uint16_t> version_index;  // .gnu.version, one per dynamic symbol
    std::vector<std::pair<std::uint16_t, std::string>> version_names;
    for (const Shdr& section : sections) {
        const Shdr* strings = strings_of(section);
        if (strings == nullptr) {
            continue;
        }
        if (section.sh_type == SHT_GNU_versym) {
            for (std::uint64_t at = 0; at + 2 <= section.sh_size; at += 2) {
                version_index.push_back(
                    ReadAt<std::uint16_t>(bytes, section.sh_offset + at).value_or(0));
            }
        } else if (section.sh_type == SHT_GNU_verneed) {
            std::uint64_t need = section.sh_offset;
            for (auto entry = ReadAt<Elf32_Verneed>(bytes, need); entry;
                 entry = entry->vn_next != 0 ? ReadAt<Elf32_Verneed>(bytes, need += entry->vn_next)
                                             : std::nullopt) {
                std::uint64_t aux_at = need + entry->vn_aux;
                for (unsigned count = 0; count < entry->vn_cnt; ++count) {
                    const auto aux = ReadAt<Elf32_Vernaux>(bytes, aux_at);
                    if (!aux) {
                        return std::nullopt;
                    }
                    const std::string name =
                        StringAt(bytes, strings->sh_offset, strings->sh_size, aux->vna_name);
                    view.needed_versions.push_back(name);
                    version_names.emplace_back(aux->vna_other, name);
                    aux_at += aux->vna_next;
                }
            }
        }
    }
    for (const Shdr& section : sections) {
        const Shdr* strings = strings_of(section);
        if (section.sh_type != SHT_DYNSYM || strings == nullptr) {
            continue;
        }
        for (std::uint64_t index = 1; (index + 1) * sizeof(Sym) <= section.sh_size; ++index) {
            const auto symbol = ReadAt<Sym>(bytes, section.sh_offset + index * sizeof(Sym));
            if (!symbol) {
                return std::nullopt;
            }
            ElfDynamicSymbol entry;
            entry.name = StringAt(bytes, strings->sh_offset, strings->sh_size, symbol->st_name);
            entry.type = symbol->st_info & 0xf;
            entry.binding = symbol->st_info >> 4;
            entry.defined = symbol->st_shndx != SHN_UNDEF;
            const std::uint16_t version =
                index < version_index.size() ? (version_index[index] & 0x7fff) : 0;
            for (const auto& [other, name] : version_names) {
                if (other == version) {
                    entry.version = name;
                }
            }
            view.symbols.push_back(entry);
        }
    }
    return view;
}

}  // namespace elf_detail

// The dynamic view of the ELF file at `path`; nothing when it cannot be read
// or is not little-endian ELF.
inline std::optional<ElfDynamicView> ReadElfDynamicView(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < EI_NIDENT || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0 ||
        bytes[EI_DATA] != ELFDATA2LSB) {
        return std::nullopt;
    }
    if (bytes[EI_CLASS] == ELFCLASS32) {
        return elf_detail::Read<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(bytes);
    }
    return elf_detail::Read<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(bytes);
}

}  // namespace ironpost::testing_support
