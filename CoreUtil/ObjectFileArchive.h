// ObjectFileArchive: an object archive that stands for one XML file.
//
// Reading loads the file through the archive-aware input stream, so the file
// may be a symlink file or a member of an archive container; the document is
// named "doc" whatever the file. Writing creates the file (replacing it) and
// starts it with the XML declaration and document-type lines.
#pragma once

#include "ObjectArchive.h"

class ObjectFileArchive : public ObjectArchive {
public:
    // An archive for the file at path (copied; null gives an empty path,
    // which neither opens nor can be created).
    explicit ObjectFileArchive(const RhPath* path);
    // As ObjectArchive's: closes the output file and deletes the document.
    ~ObjectFileArchive() override;

    // Creates the file (see ObjectArchive::openForWrite). 1, or 0 when it
    // cannot be created.
    int openForWrite(ObjectCursor* cursor) override;
    // Loads and parses the file (see ObjectArchive::loadDocumentFromFile) and
    // places cursor on the document. 1 on success; 0 when the file cannot be
    // opened, is empty or does not parse (the document, with its error
    // state, stays attached until close).
    int openForRead(ObjectCursor* cursor) override;

    // The file this archive stands for.
    const RhPath& getFilePath() const { return filePath; }

private:
    RhPath filePath;
};
