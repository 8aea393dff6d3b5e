// Overlapping saves of one target, shared by the race test (its saving
// threads and reader) and by save_loop's race mode (its saving processes).
// Every save writes a document stamped with its saver's name and number, so
// that whoever reads the target can tell exactly which save put it there.
#ifndef TESTS_SAVE_RACE_H_
#define TESTS_SAVE_RACE_H_

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <tinyxml.h>

#include "configstore/atomic_save.h"
#include "configstore/xml_document.h"

namespace saverace {

// A stamped document, some 20 kB long, so that a torn file would show.
inline std::string StampedText(const std::string& saver, long number) {
  std::string text = "<Vexo Saver='" + saver + "' Number='" + std::to_string(number) + "'>";
  for (int i = 0; i < 300; ++i) {
    text += "<Plugin ID='" + std::to_string(i << 16) + "' Filename='module-" + saver + "-" +
            std::to_string(i) + ".dll' />";
  }
  return text + "<End/></Vexo>";
}

// "saver number" of a complete document (its last element present); empty
// for anything else.
inline std::string StampOf(const std::string& text) {
  TiXmlDocument document;
  if (!configstore::ParseXml(document, text)) return std::string();
  const TiXmlElement* root = document.RootElement();
  if (root == nullptr || root->Attribute("Saver") == nullptr ||
      root->Attribute("Number") == nullptr || root->FirstChildElement("End") == nullptr)
    return std::string();
  return std::string(root->Attribute("Saver")) + " " + root->Attribute("Number");
}

inline bool ReadWhole(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

struct Tally {
  long own = 0;        // success, and the target then held this very save
  long overtaken = 0;  // success, and the target then held another saver's
  long refused = 0;    // "create error 11": another save held the files
  long wrong = 0;      // any other outcome
  std::string firstWrong;

  void Wrong(const std::string& what) {
    if (wrong++ == 0) firstWrong = what;
  }
  Tally& operator+=(const Tally& other) {
    own += other.own;
    overtaken += other.overtaken;
    refused += other.refused;
    if (other.wrong != 0 && wrong == 0) firstWrong = other.firstWrong;
    wrong += other.wrong;
    return *this;
  }
};

// Saves `count` stamped documents to `target` as `saver`, and checks each
// outcome against the file: after a success the target holds this save's
// document or one of another saver (a save that came after), never an older
// one of its own; after a refusal it does not hold this save's document.
inline Tally SaveRepeatedly(const std::string& target, const std::string& saver, long count) {
  Tally tally;
  for (long number = 0; number < count; ++number) {
    TiXmlDocument document;
    configstore::ParseXml(document, StampedText(saver, number));
    const std::string mine = saver + " " + std::to_string(number);
    const bool saved = configstore::SaveFileAtomic(document, target);
    // Another save may have begun its swap right after this one, leaving no
    // target for a moment; its end puts one back.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ReadWhole(target, &text) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    const std::string found = StampOf(text);
    if (saved && found == mine) {
      ++tally.own;
    } else if (saved && !found.empty() && found.substr(0, found.find(' ')) != saver) {
      ++tally.overtaken;
    } else if (saved) {
      tally.Wrong(mine + " saved, but the target holds '" + found + "'");
    } else if (std::string(document.ErrorDesc()) != "create error 11" || found == mine) {
      tally.Wrong(mine + " failed with '" + document.ErrorDesc() + "', target '" + found + "'");
    } else {
      ++tally.refused;
    }
  }
  return tally;
}

struct Reads {
  long good = 0, missing = 0, empty = 0, unparsable = 0;
};

// Reads `target` over and over until `stop`, sorting what it finds.
inline Reads PollTarget(const std::string& target, const std::atomic<bool>& stop) {
  Reads reads;
  while (!stop.load()) {
    std::string text;
    if (!ReadWhole(target, &text)) {
      ++reads.missing;  // between moving the old target away and the new in
    } else if (text.empty()) {
      ++reads.empty;
    } else if (StampOf(text).empty()) {
      ++reads.unparsable;
    } else {
      ++reads.good;
    }
  }
  return reads;
}

}  // namespace saverace

#endif  // TESTS_SAVE_RACE_H_
