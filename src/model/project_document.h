#pragma once

// A project on disk: a directory "<name>.tovprjct" holding project.json, an
// assets folder and a KORVANE.txt summary. Stateless; every operation reports
// failure as a value and never throws. Safe to call from any thread as long
// as two calls do not write the same package at once.

#include "model/project.h"

#include <QString>

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace korvane {

struct DocError {
    enum class Code {
        decodeFailed,       // detail: what was wrong in project.json, or why it could not be read
        notADirectory,      // no detail
        missingProjectFile, // no detail
        // Not one of the package's own errors: a file-system (or encoding)
        // failure of save or importAsset passed on; detail is its full text.
        writeFailed,
    };

    Code code = Code::decodeFailed;
    std::string detail;

    // The text shown to the user (after "Erreur : ").
    std::string description() const;

    friend bool operator==(const DocError &, const DocError &) = default;
};

template <typename T> class DocResult {
public:
    DocResult(T value) : m_state(std::move(value)) {}
    DocResult(DocError error) : m_state(std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    T &value() { return std::get<0>(m_state); }
    const T &value() const { return std::get<0>(m_state); }
    const DocError &error() const { return std::get<1>(m_state); }

private:
    std::variant<T, DocError> m_state;
};

struct DocDone {};

namespace ProjectDocument {

inline constexpr const char *fileExtension = "tovprjct";
inline constexpr const char *projectFileName = "project.json";
inline constexpr const char *assetsDirName = "assets";
inline constexpr const char *summaryFileName = "KORVANE.txt";

// Reads the package at packagePath. Every read or decode failure is
// decodeFailed; nothing outside the returned value is touched.
DocResult<TOVProject> load(const QString &packagePath);

// Writes project (with modifiedAt set to now) into packagePath, creating it
// and its assets folder when needed. project.json and KORVANE.txt are
// replaced atomically; nothing else in the package is touched. A failure to
// write the summary is ignored.
DocResult<DocDone> save(TOVProject project, const QString &packagePath);

// Copies sourcePath into the package's assets folder under a free name
// (logo.png, logo-1.png, ...) and returns the reference for the caller to
// append to TOVProject::assets. An empty label becomes the file's base name.
DocResult<AssetRef> importAsset(const QString &sourcePath, const QString &packagePath,
                                const std::string &kind, const std::string &label);

QString assetsURL(const QString &packagePath);

// The four-line KORVANE.txt text for a project saved at modifiedAt.
std::string summaryText(const TOVProject &project);

} // namespace ProjectDocument

} // namespace korvane
