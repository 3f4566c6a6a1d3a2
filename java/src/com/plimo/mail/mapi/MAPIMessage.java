package com.plimo.mail.mapi;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.Date;
import java.util.Enumeration;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicBoolean;
import javax.activation.DataHandler;
import javax.mail.Address;
import javax.mail.BodyPart;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.Header;
import javax.mail.IllegalWriteException;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Session;
import javax.mail.internet.InternetAddress;
import javax.mail.internet.InternetHeaders;
import javax.mail.internet.MailDateFormat;
import javax.mail.internet.MimeMessage;

/**
 * A received message of a MAPI store, read through the native library.
 *
 * <p>The native side builds these objects (constructor, then {@link #setMessagePointer})
 * when a folder hands out its messages; the handle stays valid until that folder or its store
 * is closed. After that every read throws a {@link MessagingException} ("The folder of this
 * message is closed", "The store of this message is closed") without reaching the native
 * library. Every read goes to the store: nothing is cached except the message's content,
 * which the native message caches too.
 *
 * <p>Mapping onto {@link Message}:
 * <ul>
 * <li>addresses: the native display-form texts, parsed leniently ({@link DisplayAddresses});
 * <li>dates: the native automation dates, null when the store has none;
 * <li>{@link #getContent()}: a {@link MAPIMultipart} of body texts and attachments, or the
 * body text for a message that has no parts;
 * <li>headers: the few that MAPI properties answer (Message-ID, Date, From, Reply-To, To,
 * Cc, Bcc, Subject, X-Priority), with decoded values; there are no others;
 * <li>the raw form ({@link #writeTo}) is RFC 822 text made from what the store holds
 * ({@link #toMimeMessage()}); {@link #getMessageFile()} exports the Outlook {@code .msg} file;
 * <li>{@link Flags.Flag#DELETED} is kept by the store and honoured when the folder is
 * closed with expunge; other flags live in this object only. The folder marks every
 * message it hands out as read, so {@link Flags.Flag#SEEN} starts set.
 * </ul>
 * Everything that would change the message throws {@link IllegalWriteException}.
 */
public class MAPIMessage extends Message {

    /** What the native side answers for a message identifier it cannot read. */
    static final String UNREADABLE_MESSAGE_ID = "MAPIMessage";

    /** Content type of an exported message. */
    static final String MSG_FILE_TYPE = "application/vnd.ms-outlook";

    private static final String READ_ONLY = "MAPI messages are read-only";

    /** The headers this message can answer, in the order getAllHeaders gives them. */
    private static final List<String> HEADER_NAMES = Collections.unmodifiableList(Arrays.asList(
            "Message-ID", "Date", "From", "Sender", "Reply-To", "To", "Cc", "Bcc", "Subject", "X-Priority"));

    private long messagePointer;
    /** The life of the provider folder that handed out the handle; null for any other folder. */
    private final NativeLifetime folderLifetime;
    private final Flags flags = new Flags(Flags.Flag.SEEN);
    /** The stored header block as JavaMail parses it (see getHeader), once read. */
    private InternetHeaders arrived;
    private boolean headersRead;

    /** The store's delete flag as last set through this message. */
    private final AtomicBoolean deleteFlag = new AtomicBoolean();
    /** Whether the native message holds content or an export that {@link #contentReleaser()} may let go of. */
    private final AtomicBoolean holdsContent = new AtomicBoolean();

    /** The content as last fetched; null until fetched or after the store discarded it. */
    private MAPIMultipart content;
    private boolean contentFetched;

    public MAPIMessage(Folder folder, int msgnum) {
        // Message(Folder, int) insists on a folder with a store; the native side hands on
        // whatever folder object its caller gave, so take the session only where there is one.
        super(sessionOf(folder));
        this.folder = folder;
        this.msgnum = msgnum;
        this.folderLifetime = NativeLifetime.of(folder);
    }

    /** Called by the native side right after construction with the native message handle. */
    public void setMessagePointer(long messagePointer) {
        this.messagePointer = messagePointer;
    }

    public long getMessagePointer() {
        return messagePointer;
    }

    /** The session of this message (its folder's store's); null when it has none. */
    Session session() {
        return session;
    }

    /**
     * The lock that serialises the native calls of one logon, whose objects are not
     * reentrant: the store of this message's folder when there is one (the provider's store
     * takes the same lock for its folder calls), else this message. Every native call of the
     * message, its multipart and its parts holds it, taken before any other lock of theirs.
     */
    Object nativeLock() {
        Folder f = folder;
        Object store = f == null ? null : f.getStore();
        return store != null ? store : this;
    }

    /**
     * An action that lets go of the native content and exported file of this message (the
     * store keeps the native message itself until its folder closes), for a folder to run
     * once this object is unreachable: the natives discard content whenever the delete flag
     * is set, so it sets the flag again to the value last set. It holds no reference to this
     * message, does nothing once the folder or store closed or when there is nothing to let
     * go of, and takes the same lock as every native call of the message.
     */
    public Runnable contentReleaser() {
        final long h = messagePointer;
        final NativeLifetime life = folderLifetime;
        final AtomicBoolean delete = deleteFlag;
        final AtomicBoolean holds = holdsContent;
        final Object lock = nativeLock();
        return () -> {
            synchronized (lock) {
                if (life == null || life.endedText() != null || !holds.getAndSet(false)) {
                    return;
                }
                try {
                    MAPINative.setMessageDeleteFlag(h, delete.get());
                } catch (MessagingException e) {
                    // The message is unreachable: nobody is left to tell, and the folder's close frees it anyway.
                }
            }
        };
    }

    /**
     * Throws when the native message is gone with its provider folder or store (the natives
     * refuse the handle of a deleted message too, as long as no new one took its address).
     */
    void checkUsable() throws MessagingException {
        if (folderLifetime != null) {
            folderLifetime.check();
        }
    }

    /** The handle for a native call, once the native message is known to exist. */
    private long handle() throws MessagingException {
        checkUsable();
        return messagePointer;
    }

    // ---- Reads ---------------------------------------------------------------------

    /** The subject, or null when the message has none. */
    @Override
    public String getSubject() throws MessagingException {
        synchronized (nativeLock()) {
            return emptyToNull(MAPINative.getMessageSubject(handle()));
        }
    }

    /** The plain-text body; "" when there is none. */
    public String getTextBody() throws MessagingException {
        synchronized (nativeLock()) {
            return nullToEmpty(MAPINative.getMessageText(handle()));
        }
    }

    /** The HTML body; "" when there is none. */
    public String getHtmlBody() throws MessagingException {
        synchronized (nativeLock()) {
            return nullToEmpty(MAPINative.getMessageHTML(handle()));
        }
    }

    /** The Internet message identifier, or null when the message has none or it cannot be read. */
    public String getMessageID() throws MessagingException {
        String id;
        synchronized (nativeLock()) {
            id = MAPINative.getMessageID(handle());
        }
        if (id == null || id.isEmpty() || UNREADABLE_MESSAGE_ID.equals(id)) {
            return null;
        }
        return id;
    }

    /** "1" (high), "3" (normal) or "5" (low), as an X-Priority header gives it. */
    public String getPriority() throws MessagingException {
        synchronized (nativeLock()) {
            return MAPINative.getMessagePriority(handle());
        }
    }

    /** The author: the From: address, not the Sender: one (see {@link #getSender()}). */
    @Override
    public Address[] getFrom() throws MessagingException {
        synchronized (nativeLock()) {
            return nonEmpty(DisplayAddresses.parseAll(MAPINativeAttached.getMessageAuthor(handle())));
        }
    }

    /**
     * The Sender: mailbox, as {@code MimeMessage.getSender} gives it: the one who sent the
     * message for its author, or null when the author sent it.
     */
    public Address getSender() throws MessagingException {
        Address[] sender;
        synchronized (nativeLock()) {
            sender = nonEmpty(DisplayAddresses.parseAll(MAPINative.getMessageFrom(handle())));
        }
        Address[] from = getFrom();
        if (sender == null || (from != null && from.length == 1 && from[0].equals(sender[0]))) {
            return null;
        }
        return sender[0];
    }

    @Override
    public Address[] getRecipients(Message.RecipientType type) throws MessagingException {
        String[] texts;
        synchronized (nativeLock()) {
            if (type == Message.RecipientType.TO) {
                texts = MAPINative.getMessageTo(handle());
            } else if (type == Message.RecipientType.CC) {
                texts = MAPINative.getMessageCC(handle());
            } else if (type == Message.RecipientType.BCC) {
                texts = MAPINative.getMessageBCC(handle());
            } else {
                return null;
            }
        }
        return nonEmpty(DisplayAddresses.parseAll(texts));
    }

    /**
     * The reply-to addresses, else the author (as JavaMail falls back to From:). The natives
     * themselves fall back to the sender, in the sender's own form: that is not taken for a
     * Reply-To (an explicit one comes as bare addresses).
     */
    @Override
    public Address[] getReplyTo() throws MessagingException {
        String[] texts;
        String[] sender;
        synchronized (nativeLock()) {
            texts = MAPINative.getMessageReplyTo(handle());
            sender = MAPINative.getMessageFrom(handle());
        }
        if (texts != null && sender != null && texts.length == 1 && sender.length == 1 && texts[0].equals(sender[0])) {
            texts = null;
        }
        Address[] replyTo = nonEmpty(DisplayAddresses.parseAll(texts));
        return replyTo != null ? replyTo : getFrom();
    }

    @Override
    public Date getSentDate() throws MessagingException {
        synchronized (nativeLock()) {
            return AutomationDate.toDate(MAPINative.getMessageSentDate(handle()));
        }
    }

    @Override
    public Date getReceivedDate() throws MessagingException {
        synchronized (nativeLock()) {
            return AutomationDate.toDate(MAPINative.getMessageReceiveTime(handle()));
        }
    }

    /** The size the store gives the message, -1 when it gives none (or cannot be read). */
    @Override
    public int getSize() {
        if (messagePointer == 0) {
            return -1;  // not given its native message (yet)
        }
        synchronized (nativeLock()) {
            try {
                return MAPINativeAttached.getMessageSize(handle());
            } catch (MessagingException e) {
                return -1;
            }
        }
    }

    @Override
    public int getLineCount() {
        return -1;
    }

    @Override
    public String getDisposition() {
        return null;
    }

    @Override
    public String getDescription() {
        return null;
    }

    @Override
    public String getFileName() {
        return null;
    }

    // ---- Content -------------------------------------------------------------------

    /**
     * The message's parts as a {@link MAPIMultipart}; for a message whose only part is a
     * body text, or that has no parts, that text as a String (the plain-text body, else the
     * HTML body, "" when it has neither), as JavaMail gives a single-part text message.
     */
    @Override
    public Object getContent() throws MessagingException {
        MAPIMultipart multipart = getMultipart();
        BodyPart sole = MimeRendering.soleText(multipart);
        if (sole != null) {
            try {
                return sole.getContent();
            } catch (IOException e) {
                throw new MessagingException("Cannot read the body text", e);
            }
        }
        if (multipart != null) {
            return multipart;
        }
        String text = getTextBody();
        return text.isEmpty() ? getHtmlBody() : text;
    }

    /** The message's parts, or null when it has neither body text nor attachments. */
    public MAPIMultipart getMultipart() throws MessagingException {
        synchronized (nativeLock()) {
            synchronized (this) {
                checkUsable();
                if (!contentFetched) {
                    holdsContent.set(true);
                    content = MAPINative.getMessageContent(handle(), this);
                    contentFetched = true;
                }
                return content;
            }
        }
    }

    /**
     * The message class and the code page of the body's charset, as
     * {@link MAPINativeAttached#getMessageMime} gives them: what the MIME form needs beyond
     * the texts.
     */
    String[] mimeForm() throws MessagingException {
        synchronized (nativeLock()) {
            return MAPINativeAttached.getMessageMime(handle());
        }
    }

    @Override
    public String getContentType() throws MessagingException {
        MAPIMultipart multipart = getMultipart();
        BodyPart sole = MimeRendering.soleText(multipart);
        if (sole != null) {
            return sole.getContentType();
        }
        if (multipart != null) {
            return multipart.getContentType();
        }
        return getTextBody().isEmpty() && !getHtmlBody().isEmpty() ? "text/html" : "text/plain";
    }

    @Override
    public boolean isMimeType(String mimeType) throws MessagingException {
        return mimeTypeMatches(getContentType(), mimeType);
    }

    /** The content of the message's MIME form ({@link #toMimeMessage()}), transfer encoding decoded. */
    @Override
    public InputStream getInputStream() throws IOException, MessagingException {
        return toMimeMessage().getInputStream();
    }

    /** The content of the message's MIME form ({@link #toMimeMessage()}). */
    @Override
    public DataHandler getDataHandler() throws MessagingException {
        return toMimeMessage().getDataHandler();
    }

    /** Writes the message as RFC 822 text: its MIME form ({@link #toMimeMessage()}). */
    @Override
    public void writeTo(OutputStream out) throws IOException, MessagingException {
        toMimeMessage().writeTo(out);
    }

    /**
     * A MIME message made from what the store holds: the headers this message answers,
     * the body texts (multipart/alternative when both), inline attachments with the HTML
     * (multipart/related) and the other attachments (multipart/mixed). Attached messages
     * are message/rfc822 parts of their own MIME form, made the same way. To keep the exact
     * Outlook form, use {@link #getMessageFile()}.
     */
    public MimeMessage toMimeMessage() throws MessagingException {
        return MimeRendering.render(this, session);
    }

    /**
     * The content of {@link #toMimeMessage()} alone: the same MIME form without the
     * envelope's header fields (From, To, Cc, Reply-To, Subject, Date, X-Priority,
     * Message-ID), which are not read from the store; for a reader that has the message's
     * header block as it arrived.
     */
    public MimeMessage toMimeContent() throws MessagingException {
        return MimeRendering.render(this, session, false);
    }

    /**
     * Exports the message as an Outlook {@code .msg} file in the store's temporary
     * directory and returns its path. The file belongs to the native message: the next
     * export replaces it, and it is deleted when the delete flag changes or the folder is
     * closed, so copy it to keep it.
     */
    public String getMessageFile() throws MessagingException {
        String path;
        synchronized (nativeLock()) {
            holdsContent.set(true);
            path = MAPINative.getMessageFile(handle());
        }
        if (path == null || path.isEmpty()) {
            throw new MessagingException("The message could not be exported to a .msg file");
        }
        return path;
    }


    // ---- Headers -------------------------------------------------------------------

    /**
     * A header as it arrived (from the message's stored Internet header block, as JavaMail
     * reads it from the file); for a message without one (composed in MAPI), the headers its
     * properties make.
     */
    @Override
    public String[] getHeader(String name) throws MessagingException {
        InternetHeaders arrived = arrivedHeaders();
        if (arrived != null) {
            return arrived.getHeader(name);
        }
        String value = headerValue(name);
        return value == null ? null : new String[] {value};
    }

    @Override
    public Enumeration<Header> getAllHeaders() throws MessagingException {
        InternetHeaders arrived = arrivedHeaders();
        return arrived != null ? arrived.getAllHeaders() : headers(null, true);
    }

    @Override
    public Enumeration<Header> getMatchingHeaders(String[] names) throws MessagingException {
        InternetHeaders arrived = arrivedHeaders();
        return arrived != null ? arrived.getMatchingHeaders(names) : headers(names, true);
    }

    @Override
    public Enumeration<Header> getNonMatchingHeaders(String[] names) throws MessagingException {
        InternetHeaders arrived = arrivedHeaders();
        return arrived != null ? arrived.getNonMatchingHeaders(names) : headers(names, false);
    }

    /** The stored header block, read once; null when the message has none. */
    private InternetHeaders arrivedHeaders() throws MessagingException {
        synchronized (this) {
            if (headersRead) {
                return arrived;
            }
        }
        String block;
        synchronized (nativeLock()) {
            block = MAPINativeAttached.getMessageHeaders(handle());
        }
        InternetHeaders parsed = null;
        if (block != null && !block.isEmpty()) {
            parsed = new InternetHeaders(new java.io.ByteArrayInputStream(
                    (block.endsWith("\n") ? block + "\r\n" : block + "\r\n\r\n")
                            .getBytes(java.nio.charset.StandardCharsets.UTF_8)));
        }
        synchronized (this) {
            arrived = parsed;
            headersRead = true;
            return arrived;
        }
    }

    private Enumeration<Header> headers(String[] names, boolean matching) throws MessagingException {
        List<Header> result = new ArrayList<>();
        for (String name : HEADER_NAMES) {
            if (names != null && containsIgnoreCase(names, name) != matching) {
                continue;
            }
            String value = headerValue(name);
            if (value != null) {
                result.add(new Header(name, value));
            }
        }
        return Collections.enumeration(result);
    }

    private String headerValue(String name) throws MessagingException {
        switch (name.toLowerCase(Locale.ROOT)) {
            case "message-id":
                return getMessageID();
            case "date":
                Date sent = getSentDate();
                return sent == null ? null : new MailDateFormat().format(sent);
            case "from":
                return addressHeader(getFrom());
            case "sender":
                Address sender = getSender();
                return sender == null ? null : addressHeader(new Address[] {sender});
            case "reply-to":
                return addressHeader(getReplyTo());
            case "to":
                return addressHeader(getRecipients(Message.RecipientType.TO));
            case "cc":
                return addressHeader(getRecipients(Message.RecipientType.CC));
            case "bcc":
                return addressHeader(getRecipients(Message.RecipientType.BCC));
            case "subject":
                return getSubject();
            case "x-priority":
                return getPriority();
            default:
                return null;
        }
    }

    private static String addressHeader(Address[] addresses) {
        return addresses == null ? null : InternetAddress.toUnicodeString(addresses);
    }

    // ---- Flags ---------------------------------------------------------------------

    @Override
    public synchronized Flags getFlags() {
        return (Flags) flags.clone();
    }

    /**
     * {@link Flags.Flag#DELETED} goes to the store, which deletes the message when its
     * folder is closed with expunge. Any change of it discards the message's content: the
     * {@link MAPIMultipart} and body parts fetched before can no longer be used.
     */
    @Override
    public void setFlags(Flags changed, boolean set) throws MessagingException {
        synchronized (nativeLock()) {
            synchronized (this) {
                if (changed.contains(Flags.Flag.DELETED)) {
                    try {
                        MAPINative.setMessageDeleteFlag(handle(), set);
                        deleteFlag.set(set);
                    } finally {
                        holdsContent.set(false);
                        discardContent();
                    }
                }
                if (set) {
                    flags.add(changed);
                } else {
                    flags.remove(changed);
                }
            }
        }
    }

    private void discardContent() {
        if (content != null) {
            content.discard();
        }
        content = null;
        contentFetched = false;
    }

    // ---- Replies -------------------------------------------------------------------

    /** A new, empty MIME message addressed as a reply to this one. */
    @Override
    public Message reply(boolean replyToAll) throws MessagingException {
        MimeMessage reply = new MimeMessage(session);
        String subject = getSubject();
        if (subject == null) {
            subject = "";
        }
        if (!subject.regionMatches(true, 0, "Re: ", 0, 4)) {
            subject = "Re: " + subject;
        }
        reply.setSubject(subject, "UTF-8");
        Address[] replyTo = getReplyTo();
        if (replyTo != null) {
            reply.setRecipients(Message.RecipientType.TO, replyTo);
        }
        if (replyToAll) {
            Address[] to = getRecipients(Message.RecipientType.TO);
            if (to != null) {
                reply.addRecipients(Message.RecipientType.CC, to);
            }
            Address[] cc = getRecipients(Message.RecipientType.CC);
            if (cc != null) {
                reply.addRecipients(Message.RecipientType.CC, cc);
            }
        }
        String id = getMessageID();
        if (id != null) {
            reply.setHeader("In-Reply-To", id);
            reply.setHeader("References", id);
        }
        return reply;
    }

    // ---- Writes: a received MAPI message is read-only --------------------------------

    @Override
    public void setFrom() throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setFrom(Address address) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void addFrom(Address[] addresses) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setRecipients(Message.RecipientType type, Address[] addresses) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void addRecipients(Message.RecipientType type, Address[] addresses) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setSubject(String subject) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setSentDate(Date date) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void saveChanges() throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setDisposition(String disposition) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setDescription(String description) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setFileName(String filename) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setDataHandler(DataHandler dh) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setContent(Object obj, String type) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setText(String text) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setContent(Multipart mp) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setHeader(String name, String value) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void addHeader(String name, String value) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void removeHeader(String name) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    // ---- Helpers shared with the content classes -----------------------------------

    static boolean mimeTypeMatches(String contentType, String pattern) {
        if (contentType == null || pattern == null) {
            return false;
        }
        // ContentType.match's rule (primary types equal, subtypes equal or either "*",
        // case ignored, parameters not compared) without parsing both texts into objects
        // on every call: a walk asks each part several times.
        int slash = contentType.indexOf('/');
        int end = baseEnd(contentType);
        String primary = slash < 0 || slash > end ? "" : contentType.substring(0, slash).trim();
        String sub = primary.isEmpty() ? "" : contentType.substring(slash + 1, end).trim();
        if (sub.isEmpty()) {
            return contentType.equalsIgnoreCase(pattern);  // not a type/subtype: as given
        }
        int patternSlash = pattern.indexOf('/');
        int patternEnd = baseEnd(pattern);
        if (patternSlash < 0 || patternSlash > patternEnd) {
            return false;
        }
        String patternPrimary = pattern.substring(0, patternSlash).trim();
        String patternSub = pattern.substring(patternSlash + 1, patternEnd).trim();
        if (patternPrimary.isEmpty() || patternSub.isEmpty() || !primary.equalsIgnoreCase(patternPrimary)) {
            return false;
        }
        return sub.equals("*") || patternSub.equals("*") || sub.equalsIgnoreCase(patternSub);
    }

    /** Where the type/subtype of a content type ends: at its parameters, or the end. */
    private static int baseEnd(String type) {
        int semicolon = type.indexOf(';');
        return semicolon < 0 ? type.length() : semicolon;
    }

    static String emptyToNull(String s) {
        return s == null || s.isEmpty() ? null : s;
    }

    private static String nullToEmpty(String s) {
        return s == null ? "" : s;
    }

    private static Address[] nonEmpty(InternetAddress[] addresses) {
        if (addresses.length == 0) {
            return null;
        }
        // The store names a recipient that came without a name by its address; a message
        // read through JavaMail has no name there.
        for (InternetAddress a : addresses) {
            if (a.getPersonal() != null && a.getPersonal().equalsIgnoreCase(a.getAddress())) {
                try {
                    a.setPersonal(null);
                } catch (java.io.UnsupportedEncodingException e) {
                    throw new IllegalStateException(e);
                }
            }
        }
        return addresses;
    }

    private static boolean containsIgnoreCase(String[] names, String name) {
        for (String candidate : names) {
            if (name.equalsIgnoreCase(candidate)) {
                return true;
            }
        }
        return false;
    }

    private static Session sessionOf(Folder folder) {
        if (folder == null || folder.getStore() == null) {
            return null;
        }
        return new StoreSession(folder).getSession();
    }

    /**
     * The store's session is only reachable through the superclass constructor, which
     * reads it from the folder's store; a throwaway MIME message borrows that.
     */
    private static final class StoreSession extends MimeMessage {
        StoreSession(Folder folder) {
            super(folder, 0);
        }
    }
}
