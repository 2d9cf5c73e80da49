#pragma once

// Maps the text of a mirror path (output directory + host + URL path, with "/" or "\") to a file
// path of the system's form, and brings every directory along it into existence.

#include "common/sitejob.h"
#include "output/jobwrites.h"

#include <string>
#include <string_view>

namespace tw {

// Removes or replaces the characters that may not stand in a file name, query characters
// included: "*", "{", "}", "|" go; ">", "<", "?", "!", "&" become "_"; runs of "_" are halved
// three times. Drive colons, slashes, dots, spaces and "%" stay.
std::string SanitizePath(std::string_view text);

// The folder a host is stored under: every ":" (a port, an IPv6 address) becomes "+", a
// character no file system refuses and no host name holds: "localhost:8080" is "localhost+8080".
std::string HostFolderName(std::string_view host);
// relative ("host/path" or "/host/path") with its host part named by HostFolderName.
std::string WithHostFolder(std::string_view relative);

// What a URL (or a relative path, "/" or "\" separators) names, as far as its type goes: the
// extension of its last path segment (lower case, with its dot; empty when the segment holds
// none), whether it has a query, and whether it is a page: a segment without a dot ("about",
// "docs/intro"), or one whose extension IsPagePath.
struct UrlType
{
    std::string extension;
    bool query = false;
    bool page = false;
};
UrlType TypeOfUrl(std::string_view url);

// True when the save path (or an extension) names a page: it holds ".htm", ".php", ".shtm" or
// ".asp" (exact lower case) anywhere.
bool IsPagePath(std::string_view savePath);

// What a stored name gets after its sanitized URL, so that a browser knows the file from disk:
// ".html" for a page without an extension ("about" is stored as "about.html") and for a page
// with a query other than ".php" and ".asp" (which get theirs later); an asset with a query gets
// its own extension again ("style.css?v=3" is stored as "style.css_v=3.css").
std::string StoredNameSuffix(std::string_view url);

// SanitizePath and StoredNameSuffix.
std::string SanitizeSavePath(std::string_view text);

// The prepared form of a path, without creating anything: trimmed, every "www." and a leading
// "http://" removed, "\" turned into "/", and "//" collapsed to "/" in one pass.
std::string NormalizeLocalPath(std::string_view path);

// Normalizes path in place (trimmed, every "www." and a leading "http://" removed, "/"
// separators, "//" collapsed once) and creates every directory along it: each prefix that ends
// in "/" is passed to MakeDirectory, once a job (JobWrites::FirstAskFor), the last component is the
// file name and is not created.
void PrepareLocalPath(std::string &path, const JobSettings &settings, JobWrites &writes);

// Creates one directory and, when this call really created it, records it in writes
// (JobWrites::NoteDirMade). Never reports an error.
void MakeDirectory(std::string_view dir, const JobSettings &settings, JobWrites &writes);

} // namespace tw
