#pragma once
// TSMTP: the SMTP client control. It opens one session with a mail server,
// checks address lists, and sends messages over that session, one after the
// other, reporting everything through events raised on the GUI thread.
//
// How a form uses it
// ------------------
// Nothing is ever raised from inside a call: every event comes later, from
// the Qt event loop, so a caller that wants the outcome of an operation lets
// the loop run (a modal wait on Busy, or simply returning to the loop).
//
//   SMTP1->SetRemoteHost("mail.example.org");      // or "host:2525", "[::1]:2525"
//   SMTP1->Connect();
//     OnStateChanged 1 (connecting), 2 (resolving host), 3 (host resolved),
//     4 (connected: the server's greeting and EHLO have been read).
//     A failure: OnError, then OnStateChanged 6.
//   SMTP1->Verify("a@example.org, Ann <ann@example.org>");
//     Busy turns true at once. Accepted: OnVerify, then Busy false.
//     Rejected: OnError (one Errors item per bad entry), then Busy false.
//     The check is local: each entry must be local@domain, alone or after a
//     name in angle brackets, without spaces, line breaks or unbalanced
//     quotes and brackets; a comment in parentheses may follow it, and
//     names an address that has no name ("a@example.org (Ann)" goes out
//     as "Ann <a@example.org>"). The server judges the recipients when the message
//     goes out (most servers answer VRFY with nothing useful): a refused one
//     is an OnError with the server's code, and nothing is sent.
//   Inside OnVerify (or any time in state 4):
//     DocInput()->Headers()->Clear(); ...->Add("To", ...); ...
//     SMTP1->SendDocument(std::nullopt, SMTP1->DocInput()->Headers(), text, QString(), QString());
//     SMTP1->SendDocument(std::nullopt, headers, std::nullopt, fileName, QString());
//     The headers and the body are copied at the call, so the collection may
//     be refilled for the next message at once. Busy stays true while a
//     message is in flight or queued; messages go out in call order on the
//     session Connect opened.
//     For each message: OnDocInput with DocInput()->State() 1 (starting),
//     2 (sending headers), 3 (sending data; repeated as data flows, at most
//     about 20 a second, BytesTransferred growing to BytesTotal), then 5
//     (ended) once the server accepted the message. A failure: OnError first,
//     then OnDocInput with state 5. Busy turns false after the last state 5.
//   SMTP1->Disconnect();
//     OnStateChanged 5 (disconnecting), the messages already handed over go
//     out, QUIT, then 6. Called again while closing, it gives up at once:
//     the message in flight and those queued fail (OnError, state 5 on the
//     document), then state 6.
//   A server that closes the session, or a network that drops it: OnError,
//   then OnStateChanged 6.
//
// Time-outs: ConnectTimeout (30 s) bounds resolving the name, connecting,
// the greeting, EHLO and STARTTLS; ResponseTimeout (60 s) bounds each reply
// (a reply counts once it is whole) and each stall of the data: a time in
// which the server takes no byte, however slowly it reads. The answer to
// QUIT has 5 s at most. Progress (BytesTransferred) counts what the server
// has taken, not what waits in the system's send buffer. On expiry: OnError 20003 or 20004 naming the time, state 5 on
// the document of a message in flight (nothing is reported sent), then
// states 5 and 6; a new Connect may follow at once. A server that accepted a
// message and does not answer QUIT ends the session without an error.
//
// TLS: STARTTLS is used whenever the server offers it, and the certificate
// is checked. A server that offers STARTTLS and refuses it, or fails the
// check, gets nothing more: OnError 20011. With RequireTLS, or a CAFile, a
// server that does not offer STARTTLS gets nothing but EHLO and QUIT; and a
// session that once spoke TLS never goes on without it.
//
// Outgoing messages: a header value holding CR or LF is refused (nothing is
// sent); header lines are folded at 78 characters and never pass 998; text
// that is not ASCII goes out as RFC 2047 encoded words (in address headers
// only the display names, which are quoted when they hold specials);
// structured headers (Content-Type, Message-ID, ...) are never encoded. A
// body that is not ASCII, or has lines over 998 octets, goes out
// quoted-printable with its charset (UTF-8 when it is valid UTF-8, otherwise
// ISO-8859-1) set in a text Content-Type; Date, Message-ID and MIME-Version
// are added after the given headers when absent. Line ends become CR LF. A
// body file that changes while it is sent is not sent (20006).
//
// OnError hands the error's Number and Description; Errors() holds the
// details (one item per line of a server's reply, one per bad address).
// A handler that leaves CancelDisplay false lets the control show the error
// in an error box through the application object.
//
// The control belongs to the GUI thread: call it and read it there. Its SMTP
// session runs on a thread of its own (isp3Session.h), so neither the
// network nor libcurl can hold the GUI thread up; freeing the control or
// giving up a session never waits for a server.
//
// The control owns its DocInput and Errors objects; they live as long as it.

#include "platform/Classes.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vantry {

// The wide strings of the control's interface.
using WideString = QString;

// Connection states, as State() reads them and OnStateChanged hands them.
enum TSMTPState : int16_t {
  stConnecting = 1,
  stResolvingHost = 2,
  stHostResolved = 3,
  stConnected = 4,
  stDisconnecting = 5,
  stDisconnected = 6,
};

// Transfer states of the document (TDocInput::State).
enum TDocInputState : int16_t {
  disNone = 0,  // no transfer yet
  disBegin = 1,
  disHeaders = 2,
  disData = 3,
  disEnd = 5,  // also after an error
};

// Error numbers of the control's own faults. When the server refused
// something, OnError's Number is the server's reply code instead (400-599).
enum TSMTPErrorNumber : int16_t {
  smtpErrHostNotFound = 20001,       // the host name does not resolve
  smtpErrConnectionRefused = 20002,  // nobody listens on that port, or no route
  smtpErrConnectTimeout = 20003,     // no session within ConnectTimeout
  smtpErrResponseTimeout = 20004,    // the server went silent for ResponseTimeout
  smtpErrConnectionLost = 20005,     // the server or the network closed the session
  smtpErrFileUnreadable = 20006,     // the body's file cannot be opened or read
  smtpErrBadHeader = 20007,          // a header name or value that cannot be sent
  smtpErrBadAddress = 20008,         // a malformed address (Verify, or an envelope address)
  smtpErrNotConnected = 20009,       // an operation that needs state 4 outside it
  smtpErrWrongState = 20010,         // Connect while a session is open, opening or closing
  smtpErrTls = 20011,                // STARTTLS refused, not offered when required, or the certificate failed
  smtpErrProtocol = 20012,           // the server broke the protocol, or another local fault
  smtpErrBadArguments = 20013,       // SendDocument with neither text nor file name
};

// One header line of a message.
struct TDocHeader {
  WideString Name;
  WideString Value;
};

// The header lines of the next message, in the order they were added.
class TDocHeaders : public TObject {
public:
  void Clear() { FItems.clear(); }
  void Add(const WideString& AName, const WideString& AValue) { FItems.push_back({AName, AValue}); }
  int Count() const { return static_cast<int>(FItems.size()); }
  // AIndex from 1 to Count; outside raises EListError.
  const TDocHeader& Item(int AIndex) const;

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

private:
  std::vector<TDocHeader> FItems;
};

// The document object: the headers for the next SendDocument, and the
// transfer state of the message being sent.
class TDocInput : public TObject {
public:
  // Owned by the document object.
  TDocHeaders* Headers() { return &FHeaders; }
  int16_t State() const { return FState; }
  // The body's size in bytes; 0 or less means no size is known (also for a
  // body larger than 32 bits can count).
  int32_t BytesTotal() const { return FBytesTotal; }
  // Bytes of the body handed to the server so far.
  int32_t BytesTransferred() const { return FBytesTransferred; }
  WideString FileName() const { return FFileName; }
  void SetFileName(const WideString& AValue) { FFileName = AValue; }

private:
  friend class TSMTP;
  friend class TSMTPEngine;
  TDocHeaders FHeaders;
  int16_t FState = disNone;
  int32_t FBytesTotal = 0;
  int32_t FBytesTransferred = 0;
  WideString FFileName;
};

// One detail of the last error.
class TSMTPErrorItem {
public:
  explicit TSMTPErrorItem(WideString ADescription) : FDescription(std::move(ADescription)) {}
  WideString Description() const { return FDescription; }

private:
  WideString FDescription;
};

// The details of the last error, refilled before each OnError.
class TSMTPErrors : public TObject {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  // AIndex from 1 to Count; outside raises EListError.
  const TSMTPErrorItem& Item(int AIndex) const;

private:
  friend class TSMTP;
  friend class TSMTPEngine;
  std::vector<TSMTPErrorItem> FItems;
};

using TSMTPErrorEvent =
    std::function<void(TObject* Sender, int16_t Number, WideString& Description, int32_t Scode,
                       const WideString& Source, const WideString& HelpFile, int32_t HelpContext, bool& CancelDisplay)>;
using TSMTPStateChangedEvent = std::function<void(TObject* Sender, int16_t State)>;
using TSMTPDocInputEvent = std::function<void(TObject* Sender, TDocInput* DocInput)>;

class TSMTPEngine;

class TSMTP : public TComponent {
  VANTRY_CLASS(TSMTP)

public:
  explicit TSMTP(TComponent* AOwner);
  // Drops an open session without waiting for the server.
  ~TSMTP() override;

  // The server: a name or address, optionally with a port ("host:port",
  // "[IPv6]:port"), which then wins over RemotePort.
  WideString RemoteHost() const { return FRemoteHost; }
  void SetRemoteHost(const WideString& AValue) { FRemoteHost = AValue; }
  int RemotePort() const { return FRemotePort; }
  void SetRemotePort(int AValue) { FRemotePort = AValue; }

  int16_t State() const;
  // True while a Verify or a SendDocument is in flight or queued.
  bool Busy() const;
  // Whether the end of the data of the message in flight (or of the last
  // one) has been handed to the network. After a Disconnect that gave up, a
  // message whose end was handed over may still have reached the server
  // whole, its reply lost: it may have been sent; otherwise it was not.
  bool DataEndSent() const;
  TDocInput* DocInput() { return &FDocInput; }
  TSMTPErrors* Errors() { return &FErrors; }

  // Not stored. A file of CA certificates to verify the server's certificate
  // against instead of the system's store; empty for the system's store.
  WideString CAFile() const { return FCAFile; }
  void SetCAFile(const WideString& AValue) { FCAFile = AValue; }
  // Not stored. When true, a server that does not offer STARTTLS gets no
  // message (OnError 20011); a CAFile given means the same.
  bool RequireTLS() const { return FRequireTLS; }
  void SetRequireTLS(bool AValue) { FRequireTLS = AValue; }
  // Not stored. Milliseconds allowed to open a session (resolving,
  // connecting, greeting, EHLO, STARTTLS): 30000 unless set.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int AValue) { FConnectTimeout = AValue; }
  // Not stored. Milliseconds the server may take for each reply, and may
  // stop taking data, before the session is given up: 60000 unless set.
  int ResponseTimeout() const { return FResponseTimeout; }
  void SetResponseTimeout(int AValue) { FResponseTimeout = AValue; }

  // Opens a session; the arguments, when given, replace RemoteHost and
  // RemotePort first. Allowed in state 6 only, otherwise OnError.
  void Connect(const std::optional<WideString>& ARemoteHost = std::nullopt,
               const std::optional<int>& ARemotePort = std::nullopt);
  // Ends the session: state 5, then the messages already handed over go out,
  // then QUIT, then state 6. In state 6 it does nothing. While connecting,
  // or called again while closing, it gives up at once: the message in
  // flight and those queued are dropped (each gets OnError and state 5).
  void Disconnect();
  // Checks a comma-separated address list; see the comment at the top.
  void Verify(const WideString& AAddresses);
  // Sends one message over the open session. ADocumentURL and AOutputFile are
  // not used (leave them out or empty). AHeaders: the header lines, null for
  // DocInput()->Headers(). The body: AInputData when given, otherwise the
  // content of the file AInputFile names; a byte of the path that is not
  // UTF-8 is written as a lone surrogate U+DC80..U+DCFF (U+DC00 plus the
  // byte, as the forms' PathToText does), so that any path can be named. The envelope's sender is the
  // address in "From", its recipients every address in "To" and "CC".
  void SendDocument(const std::optional<WideString>& ADocumentURL = std::nullopt, const TDocHeaders* AHeaders = nullptr,
                    const std::optional<WideString>& AInputData = std::nullopt,
                    const std::optional<WideString>& AInputFile = std::nullopt,
                    const std::optional<WideString>& AOutputFile = std::nullopt);

  TSMTPErrorEvent OnError;
  TSMTPStateChangedEvent OnStateChanged;
  TSMTPDocInputEvent OnDocInput;
  TNotifyEvent OnVerify;

private:
  friend class TSMTPEngine;
  // For stored descriptions, which hold 8-bit (UTF-8) strings.
  void SetRemoteHostText(const std::string& AValue) { FRemoteHost = QString::fromStdString(AValue); }

  WideString FRemoteHost;
  int FRemotePort = 25;
  WideString FCAFile;
  int FConnectTimeout = 30000;
  int FResponseTimeout = 60000;
  bool FRequireTLS = false;
  TDocInput FDocInput;
  TSMTPErrors FErrors;
  std::unique_ptr<TSMTPEngine> FEngine;
};

}  // namespace Vantry
