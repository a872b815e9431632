#include "app/usage.hpp"

#include <array>
#include <cstddef>

#include "app/console.hpp"

namespace {
constexpr unsigned char keyByte(std::size_t at) { return static_cast<unsigned char>((at * 167u + 0x3Bu) & 0xFFu); }

template <std::size_t N>
using Cipher = std::array<unsigned char, N - 1>;

// Evaluated by the compiler only, so the clear text never reaches the program file.
template <std::size_t N>
consteval Cipher<N> encipher(const char (&clear)[N])
{
    Cipher<N> out{};
    for (std::size_t i = 0; i + 1 < N; ++i)
        out[i] = static_cast<unsigned char>(static_cast<unsigned char>(clear[i]) ^ keyByte(i));
    return out;
}

constexpr auto usageCipher = encipher(
    "ftpupload uploads the files of one local folder to a folder on an FTP server.\r\n"
    "\r\n"
    "usage: ftpupload --local=FOLDER --host=SERVER [option ...]\r\n"
    "\r\n"
    "Options begin with \"--\" (or \"-\" for one-letter names); a value is joined with \"=\" or \":\"\r\n"
    "or given as the next word. Only the first value of an option is used. --pacing,\r\n"
    "--skip-unchanged, --dry-run, --hidden, --delete, --atomic, --staged, --checksum,\r\n"
    "--verify, --progress and --active given without a value mean true.\r\n"
    "\r\n"
    "  --local=FOLDER     local folder whose files are uploaded (required)\r\n"
    "  --host=SERVER      FTP server, host name or address (default: none)\r\n"
    "  --port=NUMBER      server control port, up to 65535 (default: 21)\r\n"
    "  --username=NAME    login name (default: none)\r\n"
    "  --password=TEXT    login password (default: none)\r\n"
    "  --remote=FOLDER    remote folder that receives the files; \".\" for the login folder\r\n"
    "  --passive=BOOL     passive data connections, true or false (default: true)\r\n"
    "  --active=BOOL      active data connections: the server connects to this machine\r\n"
    "                     (PORT, EPRT over IPv6), true or false (default: false)\r\n"
    "  --timeout=SECONDS  time-out of every network wait (default: 5)\r\n"
    "  --recurse=BOOL     include sub-folders, true or false (default: true)\r\n"
    "  --include=LIST     patterns of which a file must match one (default: every file)\r\n"
    "  --exclude=LIST     patterns that leave a file out (default: none)\r\n"
    "  --pacing=BOOL      pause after lines and wait for late replies, true or false; false\r\n"
    "                     runs as fast as the server allows (default: true)\r\n"
    "  --connections=N    sessions that store files at once, 1 to 16 (default: 1)\r\n"
    "  --password-file=FILE\r\n"
    "                     password from the first line of FILE (default: none)\r\n"
    "  --password-env=NAME\r\n"
    "                     password from the environment variable NAME (default: none)\r\n"
    "  --tls=VALUE        FTPS: the login and every file over TLS; true (explicit, AUTH\r\n"
    "                     TLS), implicit (TLS from the first byte, port 990 by default) or\r\n"
    "                     false; no fallback to clear text (default: false)\r\n"
    "  --tls-ca-file=FILE PEM file of further root certificates to trust (default: none)\r\n"
    "  --tls-fingerprint=HEX\r\n"
    "                     trust exactly the server certificate with this SHA-256 fingerprint\r\n"
    "                     instead of the chain and name checks (default: none)\r\n"
    "  --skip-unchanged=BOOL\r\n"
    "                     leave out files whose remote copy has the same size and is not\r\n"
    "                     older, true or false (default: false)\r\n"
    "  --retries=N        further tries of a failure that may pass (lost connection, 4xx\r\n"
    "                     reply), 0 to 100, waits of 1, 2, 4 ... 30 s (default: 0)\r\n"
    "  --trace=FILE       append the whole control dialogue to FILE (default: none)\r\n"
    "  --dry-run=BOOL     only list what would be stored, true or false (default: false)\r\n"
    "  --hidden=BOOL      hidden files and folders take part too, true or false; .git, .svn\r\n"
    "                     and .hg only when an --include pattern names them (default: false)\r\n"
    "  --delete=BOOL      after the stores, delete remote files and folders that have no\r\n"
    "                     selected local counterpart, true or false (default: false)\r\n"
    "  --max-delete=LIMIT with --delete: delete nothing when more files would go than N, or\r\n"
    "                     than P% of the remote files (P% only once more than 10 would go)\r\n"
    "                     (default: 50%)\r\n"
    "  --atomic=BOOL      store each file under a temporary name and rename it into place,\r\n"
    "                     true or false (default: false)\r\n"
    "  --checksum=BOOL    with --skip-unchanged: compare contents (SHA-256: the server's own\r\n"
    "                     where it offers one, else the one kept in the remote\r\n"
    "                     .ftpupload-manifest) instead of times (default: false)\r\n"
    "  --staged=BOOL      all or nothing: every file to its temporary first, renamed into\r\n"
    "                     place only when all are there, pages last; sets --atomic\r\n"
    "                     (default: false)\r\n"
    "  --last=LIST        patterns of the files put in place after all others (default:\r\n"
    "                     *.html|*.htm with --staged, else none)\r\n"
    "  --verify=BOOL      after each store, compare the server's SHA-256 of the file (HASH or\r\n"
    "                     XSHA256), else its size, with what was sent (default: false)\r\n"
    "  --limit-rate=RATE  bytes per second that the data of all sessions together stays\r\n"
    "                     under, with K or M of 1024: 500K, 2M (default: no limit)\r\n"
    "  --progress=BOOL    on a terminal, one status line on standard error while the files\r\n"
    "                     are stored: files, bytes, rate, time left, failures (default: false)\r\n"
    "  --report=FILE      write the run's outcome to FILE as JSON (default: none)\r\n"
    "  --boxes=BOOL       error messages in a window; false writes them to standard error as\r\n"
    "                     \"TITLE: MESSAGE\" lines, for unattended runs (default: true)\r\n"
    "  --help, -?         print this text and do nothing else\r\n"
    "  --version          print the program's version and do nothing else\r\n"
    "\r\n"
    "A pattern list is split at \"|\". Patterns match the whole local path, \"\\\" separated,\r\n"
    "letters in any case: \"*\" any text, \"?\" one character, \"[abc]\" one of a set,\r\n"
    "\"[!abc]\" one not in it. Example: --include=*.html|*.css --exclude=*\\drafts\\*\r\n"
    "\r\n"
    "Exit status: 0 when every selected file was stored (or was unchanged), every deletion\r\n"
    "asked for was made, or nothing needed upload; 1 otherwise.");
}

std::string usageText()
{
    std::string clear(usageCipher.size(), '\0');
    for (std::size_t i = 0; i < usageCipher.size(); ++i)
        clear[i] = static_cast<char>(usageCipher[i] ^ keyByte(i));
    return clear;
}

void printUsage()
{
    writeValue(usageText());
    standardOutput().endLine();
}
