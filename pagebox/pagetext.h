// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringView>

#include <vector>

// The page box's text, exactly as it stands: the page as it came (shared, never copied),
// the characters added since, and a table of pieces of the two that spells out the current
// text. Line breaks (CR LF, CR, LF) and every other character are simply characters here;
// nothing is mapped or rebuilt.
//
// The text keeps no history; it reports every change to its listeners, in the order they
// were added, so that what is built on it (the history, the rows, the layouts) follows.
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
    // text since: the page's own characters are shared with it, only added ones are copied.
    class Excerpt
    {
    public:
        QString text() const;

    private:
        friend class PageText;
        QString m_page;
        QString m_added;
        Pieces m_pieces; // over m_page, or where `added` over m_added
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

    PageText() = default;
    PageText(const PageText &) = delete;
    PageText &operator=(const PageText &) = delete;

    void addListener(Listener *listener) { m_listeners.push_back(listener); }

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
    QStringView pieceText(const Piece &piece) const;
    template <typename Visit>
    void forEachPieceIn(qsizetype from, qsizetype length, Visit visit) const;
    qsizetype splitAt(qsizetype position);
    void takeAsPage(const QString &page);

    QString m_original;
    QString m_added;
    Pieces m_pieces;
    qsizetype m_size = 0;
    std::vector<Listener *> m_listeners;
};
