#pragma once
#include <string>

// The remote path forms of the mass-memory commands ("INT:\dir\a.sta",
// "USB:/x", "/x", "x") and the two storage roots they may reach. Every
// converted path is resolved lexically ("." and ".." removed, repeated "/"
// folded) and must stay inside a root: remote control never reaches the
// service's own data (calibration, identity) whatever the text says.
class StorageRemotePath {
public:
    static constexpr const char* kIntRoot = "/data/UserData";
    static constexpr const char* kUsbRoot = "/mnt/media_rw/udiskh";
    // The USB root under the name the UI may give it.
    static constexpr const char* kUsbAlias = "/storage/udiskh";

    // What a path may name of the service's temporaries (TemporaryFile.h):
    // none, or, for a delete, the leftovers that nothing may be writing any
    // more (temporary_file::inUse).
    enum class Temporaries { Refused, Leftovers };

    // Converts the unquoted text `s` in place: "\" reads as "/", a leading
    // "/" is inside the internal root, "INT:/" and "USB:/" (upper case, at the
    // very start) name the roots, anything else (the empty text too: the
    // folder itself) is relative to `current`. False (and `s` unchanged) for
    // a result that confine refuses.
    static bool directoryFormat(std::string& s, const std::string& current,
                                Temporaries temporaries = Temporaries::Refused);
    // Normalises the system path `s` in place and keeps it only inside a
    // root, by its text and through links, and only when no name on its way
    // is reserved for the service's temporaries but those `temporaries`
    // lets through: false (and `s` unchanged) otherwise.
    static bool confine(std::string& s, Temporaries temporaries = Temporaries::Refused);

    // "/a//b/./c/../d/" -> "/a/b/d"; ".." never climbs above "/".
    static std::string normalise(const std::string& path);
    // `path` (normalised) is a root or lies below one.
    static bool insideRoots(const std::string& path);
    // The nearest existing folder or file on the way to `path` (normalised,
    // inside a root), with its links resolved on the host, still lies inside
    // that root: a link on a stick or in the internal memory leads nowhere else.
    static bool resolvesInsideRoots(const std::string& path);
    // `path` is one of the storage roots itself.
    static bool isRoot(const std::string& path);
    // `path` equals `root` or lies below it (whole components only).
    static bool under(const std::string& path, const std::string& root);

    // The current folder as remote control shows it: "INT:\" or "USB:\"
    // followed by the rest with "\" separators, as SCPI string data. False when
    // `path` is inside neither root (the caller resets it to the internal
    // root, whose text `out` then holds).
    static bool remoteForm(const std::string& path, std::string& out);
};
