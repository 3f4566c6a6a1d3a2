package com.plimo.mail.mapi;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Enumeration;
import java.util.List;
import java.util.Locale;
import java.util.concurrent.atomic.AtomicLong;
import javax.activation.DataHandler;
import javax.activation.DataSource;
import javax.mail.BodyPart;
import javax.mail.Header;
import javax.mail.IllegalWriteException;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Part;
import javax.mail.internet.ContentDisposition;

/**
 * One part of a received MAPI message: its HTML body, its plain-text body, an attachment
 * or an attached message.
 *
 * <p>Body texts carry their text and no disposition; attachments carry the disposition
 * "attachment", their file name (an attached message is named after its subject with
 * ".msg" added and its data is an Outlook {@code .msg} file, whatever its
 * "message/rfc822" content type suggests; its {@link #getContent()} is the message itself,
 * a {@link MAPIAttachedMessage}), their size and, for inline ones, a content identifier.
 *
 * <p>The data of a body text or an attachment is read from the store as the caller reads
 * it ({@link #getInputStream()}, {@link #writeTo(OutputStream)}, {@link #writeTo(String)}),
 * in pieces and without a file in between, as often as the caller likes. The data of an
 * attached message is an Outlook {@code .msg} file that the store writes, once per part;
 * this object keeps that copy (a temporary file, which the store deletes together with the
 * message's content) and serves every read from it. Those files live in a directory of this
 * process that only its user can enter, made with {@link Files#createTempDirectory}: no
 * other user can read them or plant a link under their names.
 */
public class MAPIBodyPart extends BodyPart {

    private static final String READ_ONLY = "MAPI message content is read-only";

    /** The private directory of the part files of this process; made on first use. */
    private static Path partDirectory;
    private static final AtomicLong PART_FILES = new AtomicLong();

    private final long partPointer;
    private final MAPIMultipart multipart;
    private final String contentType;
    private final String disposition;
    private final String content;
    private final String contentId;
    private final int size;

    /** The store's copy of this part's data, once written. */
    private File dataFile;

    /** The part's 0-based index in its content; -1 when not known. */
    private int index = -1;
    /** The attached message of a "message/rfc822" part, once opened. */
    private MAPIAttachedMessage attachedMessage;

    public MAPIBodyPart(long partPointer, MAPIMultipart multipart, String contentType, String disposition,
            String content, String contentId, int size) {
        this.partPointer = partPointer;
        this.multipart = multipart;
        this.parent = multipart;
        this.contentType = contentType;
        this.disposition = disposition;
        this.content = content;
        this.contentId = contentId;
        this.size = size;
    }

    public long getBodyPartPointer() {
        return partPointer;
    }

    /** True for attachments and attached messages, false for the body texts. */
    public boolean isAttachment() throws MessagingException {
        return Part.ATTACHMENT.equalsIgnoreCase(getDisposition());
    }

    // ---- Reads ---------------------------------------------------------------------

    @Override
    public String getContentType() {
        return contentType == null || contentType.isEmpty() ? "application/octet-stream" : contentType;
    }

    @Override
    public boolean isMimeType(String mimeType) {
        return MAPIMessage.mimeTypeMatches(getContentType(), mimeType);
    }

    /** "attachment" for attachments, null for the body texts. */
    @Override
    public String getDisposition() throws MessagingException {
        String value = disposition;
        if (value == null) {
            synchronized (nativeLock()) {
                checkUsable();
                value = MAPINative.getBodypartDisposition(partPointer);
            }
        }
        return MAPIMessage.emptyToNull(value);
    }

    /** The attachment's file name; null for the body texts. */
    @Override
    public String getFileName() throws MessagingException {
        return isAttachment() ? MAPIMessage.emptyToNull(content) : null;
    }

    /** The content identifier of an inline attachment, without angle brackets; else null. */
    public String getContentID() {
        return MAPIMessage.emptyToNull(contentId);
    }

    /** The attachment's size in bytes as the store records it; -1 for the body texts. */
    @Override
    public int getSize() throws MessagingException {
        return isAttachment() ? size : -1;
    }

    @Override
    public int getLineCount() {
        return -1;
    }

    @Override
    public String getDescription() {
        return null;
    }

    /**
     * The text of a body part; for an attached message ("message/rfc822") the message, a
     * {@link MAPIAttachedMessage} that reads like any message of the folder; for a
     * text/plain, text/html or text/xml attachment its data as a String, as JavaMail gives
     * such a part and as a program that asks {@code isMimeType} expects (decoded with the
     * charset its type names, else as UTF-8 when the bytes are UTF-8, else as ISO-8859-1,
     * which takes any byte); for any other attachment an {@link InputStream} of its data.
     */
    @Override
    public Object getContent() throws IOException, MessagingException {
        if (isAttachment()) {
            if (isAttachedMessage()) {
                return getAttachedMessage();
            }
            if (isMimeType("text/plain") || isMimeType("text/html") || isMimeType("text/xml")) {
                ByteArrayOutputStream data = new ByteArrayOutputStream();
                try (InputStream in = getInputStream()) {
                    byte[] buffer = new byte[8192];
                    for (int n; (n = in.read(buffer)) > 0;) {
                        data.write(buffer, 0, n);
                    }
                }
                return TextDecoding.decode(data.toByteArray(), getContentType());
            }
            return getInputStream();
        }
        return content == null ? "" : content;
    }

    /**
     * The message of an attached-message part, opened on first use and the same object on
     * every call; it lives as long as the content of the message that holds it.
     *
     * @throws MessagingException for a part that is not an attached message, or whose
     *     message is gone with its content, folder or store
     */
    public MAPIAttachedMessage getAttachedMessage() throws MessagingException {
        if (!isAttachedMessage()) {
            throw new MessagingException("The body part is not an attached message");
        }
        synchronized (nativeLock()) {
            synchronized (this) {
                checkUsable();
                if (attachedMessage == null) {
                    MAPIMessage outer = multipart.getMessage();
                    attachedMessage = MAPIAttachedMessage.open(this, multipart, index,
                            outer == null ? null : outer.session());
                }
                return attachedMessage;
            }
        }
    }

    /** An attachment of type "message/rfc822" whose place in its content is known. */
    private boolean isAttachedMessage() throws MessagingException {
        return isMessageAttachment() && multipart != null && index >= 0;
    }

    /** An attachment of type "message/rfc822": its data is a {@code .msg} file. */
    private boolean isMessageAttachment() throws MessagingException {
        return isAttachment() && isMimeType("message/rfc822");
    }

    /**
     * What the MIME form of an attachment needs beyond its type, name and content identifier,
     * as {@link MAPINativeAttached#getPartMime} gives it; all null for a body text.
     */
    String[] mimeFields() throws MessagingException {
        if (!isAttachment()) {
            return new String[5];
        }
        synchronized (nativeLock()) {
            synchronized (this) {
                checkUsable();
                return MAPINativeAttached.getPartMime(partPointer);
            }
        }
    }

    /** Called by the multipart that made this part with its index. */
    void setIndex(int index) {
        this.index = index;
    }

    /** The part's data: read from the store as it is read, or an attached message's .msg file. */
    @Override
    public InputStream getInputStream() throws IOException, MessagingException {
        if (streamsData()) {
            checkStreamable();
            return new PartDataStream();
        }
        return new FileInputStream(dataFile());
    }

    /**
     * Whether the data is read from the store piece by piece ({@link #readData}); the
     * {@code .msg} file of an attached message is written whole ({@link #writeData}).
     */
    protected boolean streamsData() throws MessagingException {
        return !isMessageAttachment();
    }

    /** Refuses, as the first read would, a part whose content is gone. */
    private void checkStreamable() throws MessagingException {
        synchronized (nativeLock()) {
            synchronized (this) {
                checkUsable();
            }
        }
    }

    /**
     * Reads up to {@code length} bytes of the part's data from {@code offset} into
     * {@code buffer[start...]}, straight from the store; -1 at the end. Called with the
     * native lock held.
     */
    protected int readData(long offset, byte[] buffer, int start, int length) throws MessagingException {
        return MAPINativeAttached.readPartData(partPointer, offset, buffer, start, length);
    }

    @Override
    public DataHandler getDataHandler() throws MessagingException {
        return new DataHandler(new PartDataSource());
    }

    /** Writes the part's data (not a MIME body part with headers). */
    @Override
    public void writeTo(OutputStream out) throws IOException, MessagingException {
        byte[] buffer = new byte[PIECE];
        try (InputStream in = getInputStream()) {
            for (int n; (n = in.read(buffer)) > 0; ) {
                out.write(buffer, 0, n);
            }
        }
    }

    /** Saves the part's data to a file, replacing it if it exists. The file is the caller's to keep. */
    public void writeTo(String fileName) throws IOException, MessagingException {
        if (fileName == null || fileName.isEmpty()) {
            throw new MessagingException("No file name to write the body part to");
        }
        try (InputStream in = getInputStream()) {
            Files.copy(in, new File(fileName).toPath(), StandardCopyOption.REPLACE_EXISTING);
        }
    }

    /**
     * The store writes an attached message's .msg file only once and deletes it with the
     * message's content, so it writes into a temporary file of ours and every save copies
     * from there.
     */
    private File dataFile() throws IOException, MessagingException {
        synchronized (nativeLock()) {
            synchronized (this) {
                return lockedDataFile();
            }
        }
    }

    /** The lock of the native calls: the message's (its store's), else this part. */
    Object nativeLock() {
        return multipart != null ? multipart.nativeLock() : this;
    }

    private File lockedDataFile() throws IOException, MessagingException {
        checkUsable();
        if (dataFile != null && dataFile.exists()) {
            return dataFile;
        }
        if (dataFile != null) {
            throw new MessagingException("The body part's data is gone: the message's content was discarded");
        }
        // A fresh name in the private directory: the store creates the file there itself, so
        // a write that did not happen leaves no file behind to hide it.
        File target = newPartFile().toFile();
        try {
            writeData(target.getPath());
        } finally {
            target.deleteOnExit();
        }
        if (!target.exists()) {
            throw new MessagingException("The body part could not be written to " + target);
        }
        dataFile = target;
        return dataFile;
    }

    /** Asks the store to write the part's data into a new file at path; called once per part. */
    protected void writeData(String path) throws MessagingException {
        MAPINative.writeBodypartToFile(partPointer, path);
    }

    /** A name for a new part file in the process's private directory, which is made when missing. */
    static Path newPartFile() throws IOException {
        return partDirectory().resolve("part" + PART_FILES.incrementAndGet() + ".tmp");
    }

    /** The private directory of the part files: readable, writable and searchable by the user only. */
    static synchronized Path partDirectory() throws IOException {
        // A temporary-file cleaner may have taken it away since.
        if (partDirectory == null || !Files.isDirectory(partDirectory)) {
            Path made;
            if (FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
                made = Files.createTempDirectory("mapiparts",
                        PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            } else {
                // Elsewhere the user's temporary folder is the user's own.
                made = Files.createTempDirectory("mapiparts");
            }
            // Registered before the files in it, so deleted after them at exit.
            made.toFile().deleteOnExit();
            partDirectory = made;
        }
        return partDirectory;
    }

    /** Throws when the content this part belongs to is gone (the multipart says why). */
    void checkUsable() throws MessagingException {
        if (multipart != null) {
            multipart.checkUsable();
        }
    }

    // ---- Headers -------------------------------------------------------------------

    @Override
    public String[] getHeader(String name) throws MessagingException {
        String value = headerValue(name);
        return value == null ? null : new String[] {value};
    }

    @Override
    public Enumeration<Header> getAllHeaders() throws MessagingException {
        return headers(null, true);
    }

    @Override
    public Enumeration<Header> getMatchingHeaders(String[] names) throws MessagingException {
        return headers(names, true);
    }

    @Override
    public Enumeration<Header> getNonMatchingHeaders(String[] names) throws MessagingException {
        return headers(names, false);
    }

    private static final String[] HEADER_NAMES = {"Content-Type", "Content-Disposition", "Content-ID"};

    private Enumeration<Header> headers(String[] names, boolean matching) throws MessagingException {
        List<Header> result = new ArrayList<>();
        for (String name : HEADER_NAMES) {
            boolean named = false;
            if (names != null) {
                for (String candidate : names) {
                    named |= name.equalsIgnoreCase(candidate);
                }
            }
            if (names != null && named != matching) {
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
            case "content-type":
                return getContentType();
            case "content-disposition":
                String kind = getDisposition();
                if (kind == null) {
                    return null;
                }
                ContentDisposition value = new ContentDisposition(kind, null);
                String fileName = getFileName();
                if (fileName != null) {
                    value.setParameter("filename", fileName);
                }
                return value.toString();
            case "content-id":
                String id = getContentID();
                if (id == null) {
                    return null;
                }
                return id.startsWith("<") ? id : "<" + id + ">";
            default:
                return null;
        }
    }

    // ---- Writes: received content is read-only -------------------------------------

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

    /** Bytes of the store's data asked for at once: few calls, and little memory per stream. */
    private static final int PIECE = 64 * 1024;

    /**
     * The part's data as the store gives it, a piece at a time. Each piece is read under the
     * native lock after the part's content is checked, so a stream whose message content was
     * discarded, or whose folder or store was closed, fails with an IOException instead of
     * reading freed memory.
     */
    private final class PartDataStream extends InputStream {
        private final byte[] piece;
        private int next;
        private int end;
        private long offset;
        private boolean atEnd;
        private boolean closed;

        PartDataStream() {
            // A small attachment needs no 64 KiB buffer (its size is the store's estimate).
            int expected = size > 0 ? size + 1 : PIECE;
            piece = new byte[Math.max(4096, Math.min(PIECE, expected))];
        }

        @Override
        public int read() throws IOException {
            if (next == end && !fill()) {
                return -1;
            }
            return piece[next++] & 0xff;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            if (off < 0 || len < 0 || len > b.length - off) {
                throw new IndexOutOfBoundsException("offset " + off + ", length " + len + ", array " + b.length);
            }
            if (len == 0) {
                return 0;
            }
            if (next == end) {
                if (len >= piece.length) {
                    // Large reads go straight into the caller's array.
                    return readAt(b, off, len);
                }
                if (!fill()) {
                    return -1;
                }
            }
            int n = Math.min(len, end - next);
            System.arraycopy(piece, next, b, off, n);
            next += n;
            return n;
        }

        @Override
        public int available() throws IOException {
            ensureOpen();
            return end - next;
        }

        @Override
        public void close() {
            closed = true;
            next = end;
        }

        private boolean fill() throws IOException {
            int n = readAt(piece, 0, piece.length);
            next = 0;
            end = Math.max(n, 0);
            return n > 0;
        }

        private int readAt(byte[] b, int off, int len) throws IOException {
            ensureOpen();
            if (atEnd) {
                return -1;
            }
            int n;
            try {
                synchronized (nativeLock()) {
                    synchronized (MAPIBodyPart.this) {
                        checkUsable();
                        n = readData(offset, b, off, len);
                    }
                }
            } catch (MessagingException e) {
                throw new IOException(e.getMessage(), e);
            }
            if (n < 0) {
                atEnd = true;
                return -1;
            }
            offset += n;
            return n;
        }

        private void ensureOpen() throws IOException {
            if (closed) {
                throw new IOException("The stream of the body part's data is closed");
            }
        }
    }

    /** The part's data for activation: read on demand, typed and named like the part. */
    private final class PartDataSource implements DataSource {
        @Override
        public InputStream getInputStream() throws IOException {
            try {
                return MAPIBodyPart.this.getInputStream();
            } catch (MessagingException e) {
                throw new IOException(e.getMessage(), e);
            }
        }

        @Override
        public OutputStream getOutputStream() throws IOException {
            throw new IOException(READ_ONLY);
        }

        @Override
        public String getContentType() {
            return MAPIBodyPart.this.getContentType();
        }

        @Override
        public String getName() {
            try {
                String fileName = getFileName();
                return fileName != null ? fileName : "";
            } catch (MessagingException e) {
                return "";
            }
        }
    }
}
