// NSAppleScript: compiles and runs scripts in the subset of the host's scripting language that
// plug-ins send to the host, against the host application's own object model.
//
// The language subset: tell blocks addressing the application by name and an image version by
// name; try blocks with "on error"; set (variables and the value of an IPTC tag); if/else with
// "=" comparison; "value of IPTC tag "..."", "make new IPTC tag with properties {name:..,
// value:..}"; strings between straight or curly quotation marks (opened by " or U+201C, closed
// by " or U+201D) with the escapes \" \\ \r \n \t and a backslash before either curly mark; "&" concatenation; the constants return
// and tab. Lines end with carriage returns or line feeds. Keywords and variable names ignore
// case. A script is compiled completely before anything runs: an unterminated string, an
// unknown word or an unbalanced block is a compile error and nothing is changed.
//
// Errors are reported as a dictionary with NSAppleScriptErrorMessage (text),
// NSAppleScriptErrorNumber (number), NSAppleScriptErrorBriefMessage and, for compile errors,
// NSAppleScriptErrorRange (the offending location and length, as "{location, length}" text).
#pragma once

#include <memory>

#include "CoreFoundation.h"

extern const CFStringRef NSAppleScriptErrorMessage;
extern const CFStringRef NSAppleScriptErrorNumber;
extern const CFStringRef NSAppleScriptErrorBriefMessage;
extern const CFStringRef NSAppleScriptErrorRange;

// Error numbers of the scripting language.
enum : OSStatus {
  errOSASyntaxError = -2740,
  errOSASyntaxTypeError = -2741,
  errOSAUndefinedVariable = -2753,
  errAENoSuchObject = -1728,
  errAEWriteDenied = -10006,
  errAEEventFailed = -10000,
};

// The host application's object model as scripts see it. The host installs one with
// NSAppleScriptSetScriptingTarget; each call returns noErr or an error number.
class NSAppleScriptTarget {
 public:
  virtual ~NSAppleScriptTarget() = default;
  // Whether "tell application NAME" addresses this host.
  virtual bool respondsToApplicationName(CFStringRef name) = 0;
  virtual bool hasImageVersion(CFStringRef versionName) = 0;
  // The tag's value (a new string the caller releases), or errAENoSuchObject when the version
  // has no such tag.
  virtual OSStatus copyIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef* value) = 0;
  virtual OSStatus makeIPTCTag(CFStringRef versionName, CFStringRef tagName, CFStringRef value) = 0;
  virtual OSStatus setIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef value) = 0;
};

// Installs the host's object model for every script run afterwards (null: none; every tell
// application then fails). The host keeps ownership.
void NSAppleScriptSetScriptingTarget(NSAppleScriptTarget* target);

// Whether the character opens, or closes, a string literal of the language.
bool NSAppleScriptOpensString(UniChar c);
bool NSAppleScriptClosesString(UniChar c);

// A new string: the text as the inside of a string literal, every character that could end the
// literal (each closing or opening mark and the backslash) and every line break or tab escaped,
// so that the literal reads back as exactly the text and a value can never add commands. Null
// gives empty text.
CFStringRef NSAppleScriptCopyStringLiteralBody(CFStringRef text);

class NSAppleScript {
 public:
  NSAppleScript();
  ~NSAppleScript();
  NSAppleScript(const NSAppleScript&) = delete;
  NSAppleScript& operator=(const NSAppleScript&) = delete;

  // Keeps the script's text; returns this.
  NSAppleScript* initWithSource(CFStringRef source);
  CFStringRef source() const;
  // Compiles the text; on failure stores a new error dictionary (the caller releases it).
  bool compileAndReturnError(CFDictionaryRef* errorInfo);
  bool isCompiled() const;
  // Compiles when needed and runs the script. Returns the script's result (a new object the
  // caller releases; an empty string when the script has no value), or null on failure with a
  // new error dictionary in errorInfo.
  CFTypeRef executeAndReturnError(CFDictionaryRef* errorInfo);

  struct Program;

 private:
  CFRef<CFStringRef> source_;
  std::unique_ptr<Program> program_;
};
