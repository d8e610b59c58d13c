// Finding in tilvo-cli.
#include "cli/CliFind.h"

#include <chrono>
#include <cstdio>

#include "cli/CliOptions.h"

namespace tilvo {

bool ParseFindOption(const std::string& a, const std::function<const std::string&()>& value,
                     TCliFind& find) {
    if (a == "--find-faces") {
        find.Faces = true;
    } else if (a == "--find-small") {
        find.Faces = find.Small = true;
    } else if (a == "--find-profiles") {
        find.Faces = find.Profiles = true;
    } else if (a == "--find-text") {
        const std::string& words = value();
        if (words.find_first_not_of(" \t") == std::string::npos)
            throw EUsage("--find-text needs words");
        find.Text.Words.push_back(words);
    } else if (a == "--find-pattern") {
        const std::string& name = value();
        TTextPattern p;
        if (name == "all")
            find.Text.All = true;
        else if (TextPatternFromName(name, p))
            find.Text.Patterns.push_back(p);
        else
            throw EUsage("--find-pattern must be email, phone, iban, card, date, plate or all: \"" +
                         name + "\"");
    } else if (a == "--list-found") {
        find.List = true;
    } else {
        return false;
    }
    return true;
}

std::vector<TFound> FindInPicture(const TCliFind& find, const TBitmap& picture, double& seconds) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<TFound> all, found;
    std::string error;
    if (find.Faces) {
        TFaceSearch search;
        search.Small = find.Small;
        search.Profiles = find.Profiles;
        if (!FindFaces(picture, search, found, error)) throw Exception(error);
        all.insert(all.end(), found.begin(), found.end());
    }
    if (!find.Text.Empty()) {
        if (!FindText(picture, find.Text, found, error)) throw Exception(error);
        all.insert(all.end(), found.begin(), found.end());
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return all;
}

void AddFoundItems(const std::vector<TFound>& found, std::vector<TCliStroke>& items) {
    for (const TFound& f : found) items.push_back(TCliStroke{true, {}, f.Box, false});
}

namespace {

void AppendJsonString(const std::string& s, std::string& out) {
    out += '"';
    for (const char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (uint8_t(c) < 0x20) {
                    char code[8];
                    std::snprintf(code, sizeof code, "\\u%04x", unsigned(uint8_t(c)));
                    out += code;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

}  // namespace

std::string FoundJsonLine(const std::string& file, const TFound& f) {
    std::string line = "{\"file\":";
    AppendJsonString(file, line);
    line += ",\"kind\":";
    line += f.Kind == TFoundKind::Face ? "\"face\"" : "\"text\"";
    line += ",\"what\":";
    AppendJsonString(f.What, line);
    line += ",\"box\":[" + std::to_string(f.Box.Left) + "," + std::to_string(f.Box.Top) + "," +
            std::to_string(f.Box.Width()) + "," + std::to_string(f.Box.Height()) + "],\"text\":";
    AppendJsonString(f.Text, line);
    line += "}";
    return line;
}

}  // namespace tilvo
