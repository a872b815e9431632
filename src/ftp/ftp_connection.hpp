#pragma once
// An FTP client session on top of the control channel: commands and replies,
// login, remote folders, data connections and the upload of one file.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/rate_limit.hpp"
#include "local/byte_source.hpp"
#include "ftp/data_connection.hpp"
#include "ftp/ftp_exception.hpp"
#include "ftp/ftp_reply.hpp"
#include "ftp/telnet.hpp"
#include "net/ip_address.hpp"
#include "net/socket.hpp"
#include "net/tls_channel.hpp"

enum class FtpFormat { ascii = 0, image = 1 };

struct FtpFeature {
    std::string name;
    std::string parameters;
};

// One entry of a remote folder listing. Times are whole seconds since 1970 UTC.
struct RemoteEntry {
    std::string name;
    bool folder = false;
    // Neither a plain file nor a folder (a link, a device): never followed, never deleted.
    bool other = false;
    // The server said it is a link (an "l" in LIST, an "OS.unix=slink" type); it is `other` too.
    bool link = false;
    // MLSD's "unique" fact: two names with one value are one file or folder.
    std::string unique;
    std::optional<std::uint64_t> size;
    std::optional<std::int64_t> modified;
};
// What SIZE and MDTM (or MLST) tell of one remote path; a fact the server cannot tell is
// missing, and a time is only kept with a size.
struct RemoteFacts {
    bool folder = false;  // MLST only: the path is a folder
    std::optional<std::uint64_t> size;
    std::optional<std::int64_t> modified;
};
// The size a 213 reply to SIZE gives.
std::optional<std::uint64_t> sizeFrom(const FtpReply& reply);
// MLSD lines: facts case-insensitive, names byte for byte, "cdir"/"pdir" left out; a type
// other than "file" or "dir" (or none) is `other`. A line that does not read as facts and a
// name is skipped and sets `unreadable`. The listed folder's own "unique" fact (its "cdir"
// line) goes to `ownUnique`.
std::vector<RemoteEntry> parseMlsd(std::string_view listing, bool* unreadable = nullptr,
                                   std::string* ownUnique = nullptr);
// "YYYYMMDDHHMMSS[.fff]" (UTC) to seconds since 1970, and back.
std::optional<std::int64_t> parseFtpTime(std::string_view text);
std::string formatFtpTime(std::int64_t seconds);

// Called after every send of a transfer with the bytes sent so far.
using ProgressCallback = std::function<void(std::uint64_t bytesSentSoFar)>;

class FTPConnection : public Telnet {
public:
    FTPConnection();
    ~FTPConnection() override;

    // Code "420", message "Exception: " + message.
    [[noreturn]] void raiseClientError(const std::string& message) override;
    [[noreturn]] void raiseReplyError(const FtpReply& reply);

    // Session.
    void connect(const std::string& host, const std::string& user, const std::string& password,
                         std::uint16_t port);
    // QUIT, then release the socket; never fails.
    void close() noexcept;
    // QUIT's answer is not waited for on a clear connection (the answers owed before it are):
    // for runs that lose no round trip to a goodbye.
    void setQuickClose(bool quick) { quickClose_ = quick; }
    // Explicit TLS from the next connect on: AUTH TLS after the greeting, then PBSZ and
    // PROT before the login, and every data connection over TLS. No fallback to clear
    // text. The certificate is checked against the host that connect names.
    // `implicit`: TLS from the first byte of the connection (no AUTH TLS), as servers on port
    // 990 expect; PBSZ and PROT follow the greeting all the same.
    void setTls(const TlsSettings& settings, bool implicit = false)
    {
        tlsSettings_ = settings;
        implicitTls_ = implicit;
    }
    void changeDirectory(const std::string& path);
    // The created folder's path as the server reports it.
    std::string makeDirectory(const std::string& path);
    // MKD of every path, pipelined; refusals (usually: it exists) are not failures.
    // Raises only when the connection was lost or went silent.
    void makeDirectories(const std::vector<std::string>& paths);
    // Command lines (commandLine's) sent in one go, their replies read in order: one round
    // trip for steps that do not depend on each other's answers. Raises on silence.
    std::vector<FtpReply> askAll(const std::vector<std::string>& lines);
    // TYPE I, once per session (sizes that count are binary ones).
    void useBinary();
    // The same where a refusal is no failure (the first store asks again): the answer.
    FtpReply tryBinary();
    void readFeatures();
    // CWD and FEAT in one round trip: CWD's reply (the features are read either way).
    // Raises when the connection was lost.
    FtpReply enterReadingFeatures(const std::string& path);
    // Called by connect between the greeting and the login (a session that waits for
    // another's login before trying its own raises from it to give up).
    void setBeforeLogin(std::function<void()> hook) { beforeLogin_ = std::move(hook); }
    // Command lines that go out with USER, in the same write, for a session whose login and
    // folder another session has shown to work (the hook above may set them). When its
    // command comes, a line is not sent again and its answer is read as usual; one whose
    // command does not come next has its answer read and dropped.
    void setLoginAhead(std::vector<std::string> lines) { loginAhead_ = std::move(lines); }
    // Over IPv4, PASV whatever FEAT lists: a run that reads the features only for the names
    // keeps the data connections it always had.
    void setPlainPassive(bool plain) { plainPassive_ = plain; }
    // OPTS UTF8 ON; any answer but silence is taken.
    void announceUtf8();
    // The same without waiting: the answer is read, and dropped, before the next command's.
    void announceUtf8Later();
    bool isSupported(const std::string& name) const;
    bool isKnownSupported(const std::string& name) const;
    // FEAT named MLST or MLSD: a server that implements MLST implements MLSD, and many
    // announce only MLST.
    bool listsFolders() const;
    static std::string parseQuotedPath(const FtpReply& reply);

    // Data connections.
    // `restart`: REST goes between the data connection's negotiation and the command.
    DataConnection startDataCommand(const std::string& verb, const std::vector<std::string>& arguments,
                                    std::optional<std::uint64_t> restart = std::nullopt);
    void finishDataCommand(DataConnection& data);
    Socket openPassiveConnection();
    // Active data connections (--active): the server connects to a socket of ours, announced
    // with PORT over IPv4 and EPRT over IPv6; passive is what a new connection has.
    void setActive(bool active) { active_ = active; }
    bool active() const { return active_; }

    // Transfers.
    void setRepresentation(FtpFormat format);
    // `sentHash`, where given, is set to the SHA-256 of the bytes sent once the store succeeded.
    void putFile(const std::string& remotePath, const std::string& localPath,
                         const ProgressCallback& progress, FtpFormat format, std::string* sentHash = nullptr);
    void storeStream(const std::string& remotePath, ByteSource* stream, const ProgressCallback& progress,
                             FtpFormat format);
    void allocateSpace(std::int64_t bytes);
    // REST: the next store writes from `offset` on; 350 is its only acceptance.
    void restartAt(std::uint64_t offset);
    // APPE: the stream's bytes go after what the remote file holds.
    void appendStream(const std::string& remotePath, ByteSource* stream, const ProgressCallback& progress,
                      FtpFormat format);
    // FEAT lists "REST STREAM": a store can begin at an offset.
    bool restartsStreams() const;
    // The rest of a local file from `offset` on, which the remote file is taken to hold
    // already: REST and STOR where the server restarts streams, else APPE. `progress` counts
    // the whole file; `sentHash` is the SHA-256 of the whole file, its first `offset` bytes
    // hashed here.
    void resumeFile(const std::string& remotePath, const std::string& localPath, std::uint64_t offset,
                    const ProgressCallback& progress, std::string* sentHash);
    // The last store of this session was accepted (150 or 125): whatever became of its
    // transfer, the remote file then holds some first part of the bytes sent.
    bool storeStarted() const { return storeStarted_; }
    // The bytes sent.
    std::uint64_t sendStream(DataConnection& data, ByteSource* stream, const ProgressCallback& progress);

    // Commands and replies.
    // Refuses arguments holding CR, LF or NUL (code "501") before anything is sent.
    void issueCommand(const std::string& verb, const std::vector<std::string>& arguments = {});
    // The command line issueCommand sends, CR LF included; refuses as issueCommand does.
    static std::string commandLine(const std::string& verb, const std::vector<std::string>& arguments = {});
    FtpReply expectReply(const std::string& code);
    // Never throws: silence gives code "500" with an empty message.
    FtpReply readReply();
    // Silence read where a reply was due: the connection was closed, or nothing came in time.
    static bool isSilence(const FtpReply& reply) { return reply.code == "500" && reply.message.empty(); }

    // Longest reply message kept; further text of the reply is read and dropped.
    static constexpr std::size_t maxReplyLength = 1024 * 1024;
    // One reply ends within this many time-outs and lines, or the session is closed: a reply
    // that trickles for ever would hold it, and resynchronising would only read more of it.
    static constexpr int maxReplyTimeouts = 4;
    static constexpr std::size_t maxReplyLines = 1000;

    // Unpaced uploads: as few round trips per file as the server allows (ftp_lean.cpp).
    // TYPE I once per session, ALLO only while the server says it needs it, PASV and
    // STOR in one write, and the data connection opened while the STOR answer travels.
    void setLean(bool lean) { lean_ = lean; }
    bool lean() const { return lean_; }
    // The data sent by every session of the run spends from one limit (--limit-rate).
    void setRateLimit(std::shared_ptr<RateLimit> limit) { rateLimit_ = std::move(limit); }
    // What one session learns of the server's need for ALLO holds for every session of the run.
    void shareAllocation(std::shared_ptr<std::atomic<bool>> unneeded) { allocationUnneeded_ = std::move(unneeded); }
    void putFileLean(const std::string& remotePath, const std::string& localPath,
                             const ProgressCallback& progress, std::string* sentHash = nullptr);
    // A short text stored with the same round trips, whether or not the session is lean.
    void putTextLean(const std::string& remotePath, const std::string& text);
    // What the server sent unasked since the last command: "500" and no text for
    // nothing. Only bytes that have already arrived are looked at.
    FtpReply leanQuietCheck();
    // A server that gave up on a session while it was idle (an idle or no-transfer time-out)
    // says so unasked with 421 and closes: true when that (or the close itself) has arrived,
    // and the connection is closed then. Nothing is waited for; with replies owed nothing is read.
    bool closedWhileIdle();
    // A reply did not come when it was due, or came where another was due, or replies
    // are still owed: the next reply may not belong to the next command.
    bool outOfStep() const { return outOfStep_ || owed_ > trailing_ + sentAhead_.size(); }
    // Reads the replies still owed, then checks the dialogue with NOOP (everything before
    // its 200 is dropped); a session that cannot be brought back in step is closed, so it
    // is not used again.
    bool resynchronise() noexcept;
    // Closes the session after a reply that would not end; raises FTPException "421".
    [[noreturn]] void abandonReply();

    // What is already on the server (ftp_listing.cpp). listFolder raises on any failure;
    // the others give nothing when the server cannot tell.
    std::vector<RemoteEntry> listFolder(const std::string& path, std::string* ownUnique = nullptr);
    // The same from LIST, for servers without MLSD: every line must read as "ls -l" does.
    // `all` asks with "-a" for the names beginning with ".".
    std::vector<RemoteEntry> listFolderUnix(const std::string& path, bool all = true);
    // A remote file's bytes (at most `limit`, or it raises), in binary.
    std::string retrieveText(const std::string& path, std::size_t limit);
    // RNFR and RNTO, each raising its refusal.
    void renameFrom(const std::string& path);
    void renameTo(const std::string& path);
    // Renames `from` over `to`, never leaving `to` without a version for longer than two
    // renames. A server that refuses to rename onto an existing file (seen by SIZE or MLST)
    // gets the old version moved aside first, the new one renamed into place and the old one
    // deleted, or moved back when the new one could not be put there. Any failure raises the
    // first refusal (or the connection's failure); `oldInPlace` then tells whether `to` still
    // holds its old version, without which `from` must not be deleted.
    void renameOver(const std::string& from, const std::string& to, bool* oldInPlace = nullptr);
    // Each RNFR and its RNTO sent with the others of `moves` in one write, the replies read
    // after: a round trip for the lot instead of two per file. Per move, nothing when it was
    // renamed, else the reply that refused it (silence, "500" with no text, for a move whose
    // outcome nobody knows: the connection ended first). A refused RNFR makes its RNTO fail
    // at the server, so no other file is renamed in its place.
    std::vector<std::optional<FtpReply>> renameAll(const std::vector<std::pair<std::string, std::string>>& moves);
    // SIZE (or MLST) says the path is a file.
    bool holdsFile(const std::string& path);
    // DELE and RMD; raise the refusal.
    void deleteFile(const std::string& path);
    // DELE without waiting: its answer, whatever it is, is read and dropped before the next
    // command's, so that one goes out at once.
    void deleteFileLater(const std::string& path);
    void removeDirectory(const std::string& path);
    // MLST (where FEAT names it), else SIZE and MDTM, of every path: one entry per path in
    // the same order. The commands go out in windows of one write each, several windows on
    // their way at once; after a reply that may not be the one due, the session asks one
    // path at a time, and a path whose answer is in doubt gets no facts.
    // Raises when the session cannot be brought back in step.
    std::vector<RemoteFacts> queryFiles(const std::vector<std::string>& paths);
    // The same for a caller that hands out paths while the answers come, so that one
    // batch's questions follow the last one's without a pause. `more` appends the next paths
    // to the ones given (false: none now), and is asked only when a window has room;
    // `answered(n, facts)` is told whenever the first n paths have answers that no later
    // reply can put in doubt any more.
    using MorePaths = std::function<bool(std::vector<std::string>&)>;
    using PathsAnswered = std::function<void(std::size_t, const std::vector<RemoteFacts>&)>;
    std::vector<RemoteFacts> queryStream(std::vector<std::string>& paths, const MorePaths& more,
                                         const PathsAnswered& answered);
    // MFMT where offered, else the "MDTM time path" form; true when the server took it.
    // `reply`: the server's answer (MFMT's may name the time the file now has).
    bool setRemoteModified(const std::string& path, std::int64_t seconds, FtpReply* reply = nullptr);
    // The same without waiting: it goes out with the next command that is not a store's, and
    // its answer is read, and dropped, before that command's. For a time whose failure
    // changes nothing.
    void setRemoteModifiedLater(const std::string& path, std::int64_t seconds);

    // The server hashes remote files with SHA-256 (ftp_hash.cpp): FEAT lists it among HASH's
    // algorithms, or lists XSHA256.
    bool hashesFiles() const;
    // The server's SHA-256 of a remote file, as 64 lowercase hex digits: HASH (selected once
    // with OPTS HASH, unless FEAT marks it chosen already), else XSHA256. Nothing when the
    // server offers neither or refuses to hash this file (5xx); a 4xx or silence raises, as a
    // failure that may pass.
    std::optional<std::string> remoteSha256(const std::string& path);
    // What a 213 to SIZE says of a remote file; nothing when the server cannot tell.
    std::optional<std::uint64_t> remoteSize(const std::string& path);

    const std::vector<FtpFeature>& features() const { return features_; }

protected:
    // Sends one or more command lines; each is owed a reply. A dialogue that is out of
    // step is brought back first, so no command can receive an earlier command's reply.
    // `withHeldTimes` false: a store's lines, which go without the times held back.
    void sendCommands(std::string_view lines, bool withHeldTimes = true);
    // Nothing is owed any more: the connection is closed, or about to be.
    void forgetOwed() noexcept;
    // Of `lines`, those not sent ahead with USER (setLoginAhead).
    std::string_view withoutSentAhead(std::string_view lines);
    // Sends command lines behind others still owed a reply (a pipeline of one's own), and
    // counts them as owed too.
    void sendPipelined(std::string_view lines);
    // What a missing reply means, as a failure that may pass: the connection was closed by
    // the server, or nothing came within the time-out.
    [[noreturn]] void raiseSilence();
    // Counts a reply that has been read against the commands that are owed one.
    FtpReply settle(const FtpReply& reply);
    // The store commands' common steps; `send` false leaves the data connection empty.
    void transferStream(const std::string& verb, const std::string& remotePath, ByteSource* stream,
                        const ProgressCallback& progress, FtpFormat format, bool send,
                        std::optional<std::uint64_t> expectedBytes, const std::string& sourceName,
                        std::optional<std::uint64_t> restart = std::nullopt);
    void abortTransfer(DataConnection& data) noexcept;
    // A reply to ALLO that says the server needs no allocation.
    static bool allocationNotNeeded(const FtpReply& reply);
    // The file grew or shrank while it was read: the transfer is aborted, never finished.
    [[noreturn]] void failChangedSource(DataConnection& data, const std::string& sourceName, std::uint64_t sent,
                                        std::uint64_t expected);
    // The reply that ends a transfer whose data direction has been shut.
    FtpReply awaitCompletion(DataConnection& data);
    // The TLS handshake of a data connection, after the 150/125 reply (servers start
    // TLS only once the command is under way); nothing without TLS.
    void secureDataConnection(DataConnection& data);
    // AUTH TLS, the handshake, PBSZ 0 and PROT P.
    void secureControl(const std::string& host);

private:
    void takeFeatures(const FtpReply& reply);
    FtpReply readOneReply();
    // Where a data connection goes: the control connection's peer, at the port a passive
    // reply named.
    IpAddress passiveTarget(std::uint16_t port) const;
    // The control connection runs over IPv6: data connections are negotiated with EPSV.
    bool controlIsIpv6() const;
    // Where a data connection's trace line says it went: its peer, with the mode when active.
    std::string dataTraceAddress(DataConnection& data) const;
    // Active mode: a socket listening on the control connection's own address, announced.
    Socket openActiveListener();
    // Active mode: the server's connection to `listener`, from the server's own address,
    // within the time-out; "420" "CLIENT: No connection from server" without one.
    DataConnection acceptDataConnection(Socket& listener);
    // EPSV and its 229 answer: the port to connect to.
    std::uint16_t extendedPassivePort();
    // The unpaced store's first write (TYPE and ALLO while needed, PASV (EPSV over IPv6),
    // and STOR once it may go with them) and its replies: the data connection's target.
    IpAddress sendLeanBatch(const std::string& storeLine, std::uint64_t size, bool storeWithPasv);
    // Opens the data connection while STOR (sent now, unless it went with PASV) travels.
    DataConnection connectLeanData(const IpAddress& address, const std::string& storeLine, bool storeWithPasv);
    // Asks the paths in windows kept in flight and fills in their facts; returns the first
    // path left without a trustworthy answer (ftp_queries.cpp).
    // The bytes of a data command's transfer to us, complete or raised.
    std::string receiveText(const std::string& verb, const std::vector<std::string>& arguments, std::size_t limit);
    // ALLO is still to be sent: neither this session nor another of the run found it unneeded.
    bool allocationNeeded();
    // The lean store of `size` bytes from `source` (`sourceName` for a source that changed).
    void storeLean(const std::string& remotePath, ByteSource& source, std::uint64_t size,
                   const ProgressCallback& progress, const std::string& sourceName);
    // A listing's text, complete to the end of its last line.
    std::string receiveListing(const std::string& verb, const std::vector<std::string>& arguments);
    std::size_t queryPipelined(std::vector<std::string>& paths, std::vector<RemoteFacts>& facts, bool mlst,
                               const MorePaths& more, const PathsAnswered& answered);
    // The window's command lines for paths[first, end); `end` is set.
    std::string queryWindow(const std::vector<std::string>& paths, std::size_t first, std::size_t& end, bool mlst);
    // Reads the answer(s) owed to one path's query; false when they are in doubt.
    // `named`: the path whose name an MLST answer must carry, for answers that are passed on
    // before the last one is in.
    bool readQueryAnswer(RemoteFacts& facts, bool mlst, const std::string* named = nullptr);
    RemoteFacts queryOne(const std::string& path, bool mlst);
    // Whether `reply` can be the answer owed to SIZE (`time` false) or MDTM.
    bool answersQuery(const FtpReply& reply, bool time) const;

    std::vector<FtpFeature> features_;
    std::function<void()> beforeLogin_;
    std::optional<TlsSettings> tlsSettings_;
    bool implicitTls_ = false;
    bool plainPassive_ = false;
    // EPSV over IPv4 was refused once: PASV from then on.
    bool epsvRefused_ = false;

    bool lean_ = false;
    bool active_ = false;
    std::shared_ptr<RateLimit> rateLimit_;
    bool typeSent_ = false;
    bool alloNeeded_ = true;
    std::shared_ptr<std::atomic<bool>> allocationUnneeded_;
    bool outOfStep_ = false;
    std::size_t owed_ = 0;
    // Of those owed, the first ones whose replies are read and dropped before the next one.
    std::size_t trailing_ = 0;
    // Of those owed after the trailing ones, the lines sent with USER whose commands have not
    // come yet (setLoginAhead).
    std::vector<std::string> loginAhead_;
    std::deque<std::string> sentAhead_;
    // The lines of times set without waiting that have not gone out yet (setRemoteModifiedLater).
    std::string pendingTimes_;
    bool storeStarted_ = false;
    bool quickClose_ = false;
    // Cleared for the rest of the session by a reply that did not fit its query.
    bool pipelineQueries_ = true;
    // HASH answers with SHA-256: chosen by this session's OPTS HASH, or so by FEAT; or refused.
    enum class HashChoice { unknown, chosen, refused };
    HashChoice hashChoice_ = HashChoice::unknown;
};
