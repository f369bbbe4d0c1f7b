// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "prefixsums.h"

#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

// The page box's text, exactly as it stands: the page as it came (shared, never copied),
// the characters added since, and a table of pieces of the two that spells out the current
// text. Line breaks (CR LF, CR, LF) and every other character are simply characters here;
// nothing is mapped or rebuilt.
//
// The table is kept in blocks of a few dozen pieces, with the characters of each block
// summed up, so that finding a position and making an edit cost the same after a hundred
// thousand edits as after one.
//
// The text keeps no history; it reports every change to its listeners, stage by stage, so
// that what is built on it (the rows, the wrapping, the layouts) follows.
class PageText
{
public:
    // Texts are held and addressed with 31-bit positions, as in Qt's own text classes.
    static constexpr qsizetype MaxLength = 0x7fffffff - 8192;

    struct Piece
    {
        bool added;
        qsizetype start;
        qsizetype length;
    };
    using Pieces = std::vector<Piece>;

    // Characters read out of the text as it stands, kept as they are whatever happens to the
    // text since: the page's own characters are shared with it while it is the page, only
    // added ones are copied. Once the text takes another page, an excerpt of part of the old
    // one keeps a copy of its own characters instead, so that a copied word never keeps a
    // whole page alive.
    class Excerpt
    {
    public:
        QString text() const;

    private:
        friend class PageText;
        struct Characters
        {
            QString page;
            QString added;
            Pieces pieces; // over `page`, or where `added` over `added`
            QString text() const;
            void letGoOfPage();
        };
        std::shared_ptr<Characters> m_characters = std::make_shared<Characters>();
    };

    class Listener
    {
    public:
        // The whole text was set afresh.
        virtual void textReset() = 0;
        // `removed` characters at `from` gave way to `inserted` others.
        virtual void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) = 0;

    protected:
        ~Listener() = default;
    };
    // The order in which listeners are told of a change, whatever the order they were added
    // in: each stage may read what the stages before it have already brought up to date.
    enum class Stage {
        Rows,     // where the lines start
        Wrapping, // where their screen lines start, from the rows
        Layouts,  // what is laid out, from both
        Control,  // the caret, and telling assistive tools, from all of them
    };

    // Blocks of the table aim at this many pieces; a test may ask for fewer.
    static constexpr qsizetype PiecesPerBlock = 64;
    explicit PageText(qsizetype piecesPerBlock = PiecesPerBlock);
    PageText(const PageText &) = delete;
    PageText &operator=(const PageText &) = delete;

    void addListener(Listener *listener, Stage stage);

    void setText(const QString &text);
    QString text() const;
    qsizetype size() const { return m_size; }
    QString mid(qsizetype from, qsizetype length) const;
    Excerpt excerpt(qsizetype from, qsizetype length) const;
    QChar at(qsizetype position) const;
    // The characters from `position` to the end of the piece that holds them.
    QStringView chunkAt(qsizetype position) const;

    // Keeps `characters` for the text to use, as pieces that spell them.
    Pieces add(QStringView characters);
    // The pieces for `length` characters at `from` give way to `inserted`; returns the
    // pieces taken out. The caller keeps the length within MaxLength.
    Pieces replace(qsizetype from, qsizetype length, const Pieces &inserted);
    static qsizetype lengthOf(const Pieces &pieces);
    // Whether `second`'s characters were kept straight after `first`'s: the page as it came
    // and every character added since make one sequence, in the order they came.
    bool adjoins(const Piece &first, const Piece &second) const;

    // How many characters have been added since the page was set.
    qsizetype addedSize() const { return m_added.size(); }
    // The text as it stands becomes the page, in one piece, letting go of what was added.
    // Pieces held from before no longer spell anything.
    void compact();

private:
    // A piece of the table: the block that holds it, its place in the block, and the
    // characters of the text before it.
    struct Place
    {
        qsizetype block;
        qsizetype index;
        qsizetype start;
    };

    QStringView pieceText(const Piece &piece) const;
    Place placeOf(qsizetype position) const;
    template <typename Visit>
    void forEachPieceIn(qsizetype from, qsizetype length, Visit visit) const;
    static void splice(Pieces &pieces, qsizetype from, qsizetype length, const Pieces &inserted,
                       Pieces &removed);
    void storeBlocks(qsizetype first, qsizetype count, Pieces pieces);
    void takeAsPage(const QString &page);

    QString m_original;
    QString m_added;
    std::vector<Pieces> m_blocks;        // the table, in order; no block is empty
    PrefixSums m_blockLengths;           // the characters of each block
    mutable Place m_lastPlace{-1, 0, 0}; // the piece last looked in, as text is mostly read in turn
    qsizetype m_piecesPerBlock;
    qsizetype m_size = 0;
    std::vector<std::pair<Stage, Listener *>> m_listeners;              // by stage, then as added
    mutable std::vector<std::weak_ptr<Excerpt::Characters>> m_excerpts; // that share the page
};
