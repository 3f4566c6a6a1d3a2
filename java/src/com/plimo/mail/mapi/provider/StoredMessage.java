package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINativeAttached;
import com.plimo.mail.mapi.NativeLifetime;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Date;
import java.util.Enumeration;
import java.util.List;
import javax.activation.DataHandler;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.Header;
import javax.mail.IllegalWriteException;
import javax.mail.MessageRemovedException;
import javax.mail.MessagingException;
import javax.mail.internet.InternetHeaders;
import javax.mail.internet.MimeMessage;

/**
 * A message of a {@link MAPIFolder} as a {@link MimeMessage}, read lazily from the store as
 * an IMAP message is read from its server.
 *
 * <ul>
 * <li>Headers are the message's header block as it arrived (for a message composed in MAPI,
 * the headers its properties make), so every header getter of {@link MimeMessage} answers as
 * for the message's file: From, Sender, Reply-To with its groups, a missing Date as null.
 * <li>The content is the MIME form the store's data make ({@link MAPIMessage#toMimeContent()}),
 * made when first read: the part tree as the message arrived, of
 * {@link javax.mail.internet.MimeBodyPart}s, attachment data read from the store as it is
 * read. {@link #writeTo} and {@link #getRawInputStream()} give it under the arrived headers,
 * with the form's own Content-Type and Content-Transfer-Encoding. What the natives give
 * ({@link com.plimo.mail.mapi.MAPIMultipart} and the {@code .msg} file of an attached
 * message) stays reachable through {@link #getMAPIMessage()}.
 * <li>{@link Flags.Flag#SEEN} is the stored read state. Reading headers, size or flags leaves
 * it; reading the content sets it when the folder is open read-write. Setting or clearing
 * it stores it (read-write folders only). {@link Flags.Flag#DELETED} is the store's delete
 * flag, honoured by {@link Folder#expunge()} and {@code close(true)}.
 * <li>Once expunged, every read throws {@link MessageRemovedException}.
 * </ul>
 * The message cannot be changed: setters throw {@link IllegalWriteException}.
 */
public class StoredMessage extends MimeMessage {

    private static final String READ_ONLY = "Messages of a MAPI store are read-only";

    private final MAPIMessage source;
    private final MAPIFolder owner;
    private final NativeLifetime lifetime;
    private boolean headersLoaded;
    private MimeMessage rendered;

    StoredMessage(MAPIFolder folder, int msgnum, MAPIMessage source, boolean seen) {
        super(folder, msgnum);
        this.source = source;
        this.owner = folder;
        this.lifetime = folder.nativeLifetime();
        if (seen) {
            flags.add(Flags.Flag.SEEN);
        }
    }

    /** The message as the natives read it, for what only they give (its {@code .msg} export). */
    public MAPIMessage getMAPIMessage() {
        return source;
    }

    /** Exports the message as an Outlook {@code .msg} file; see {@link MAPIMessage#getMessageFile()}. */
    public String getMessageFile() throws MessagingException {
        checkLive();
        return Core.call(source::getMessageFile);
    }

    @Override
    protected void setMessageNumber(int msgnum) {
        super.setMessageNumber(msgnum);
    }

    @Override
    protected void setExpunged(boolean expunged) {
        super.setExpunged(expunged);
    }

    private void checkLive() throws MessagingException {
        if (isExpunged()) {
            throw new MessageRemovedException("The message was expunged");
        }
        if (lifetime != null) {
            Core.run(lifetime::check);
        }
    }

    // ---- Headers: the block as it arrived ---------------------------------------------

    private void loadHeaders() throws MessagingException {
        checkLive();
        synchronized (owner.mapiStore().nativeLock()) {
            synchronized (this) {
                if (headersLoaded) {
                    return;
                }
                Core.run(lifetime::check);
                String block = Core.call(() -> MAPINativeAttached.getMessageHeaders(source.getMessagePointer()));
                if (block != null && !block.isEmpty()) {
                    // The natives give the block as text; JavaMail reads a file's header bytes the
                    // same way (UTF-8 where they are not ASCII, as a message with Unicode headers has).
                    headers = new InternetHeaders(new ByteArrayInputStream(
                            (block.endsWith("\n") ? block + "\r\n" : block + "\r\n\r\n")
                                    .getBytes(StandardCharsets.UTF_8)));
                } else {
                    headers = new InternetHeaders();
                    for (String[] h : Core.headers(source)) {
                        headers.addHeader(h[0], h[1]);
                    }
                }
                headersLoaded = true;
            }
        }
    }

    @Override
    public String[] getHeader(String name) throws MessagingException {
        loadHeaders();
        return super.getHeader(name);
    }

    @Override
    public String getHeader(String name, String delimiter) throws MessagingException {
        loadHeaders();
        return super.getHeader(name, delimiter);
    }

    @Override
    public Enumeration<Header> getAllHeaders() throws MessagingException {
        loadHeaders();
        return super.getAllHeaders();
    }

    @Override
    public Enumeration<Header> getMatchingHeaders(String[] names) throws MessagingException {
        loadHeaders();
        return super.getMatchingHeaders(names);
    }

    @Override
    public Enumeration<Header> getNonMatchingHeaders(String[] names) throws MessagingException {
        loadHeaders();
        return super.getNonMatchingHeaders(names);
    }

    @Override
    public Enumeration<String> getAllHeaderLines() throws MessagingException {
        loadHeaders();
        return super.getAllHeaderLines();
    }

    @Override
    public Enumeration<String> getMatchingHeaderLines(String[] names) throws MessagingException {
        loadHeaders();
        return super.getMatchingHeaderLines(names);
    }

    @Override
    public Enumeration<String> getNonMatchingHeaderLines(String[] names) throws MessagingException {
        loadHeaders();
        return super.getNonMatchingHeaderLines(names);
    }

    /** When the store received the message; null when it does not say. */
    @Override
    public Date getReceivedDate() throws MessagingException {
        checkLive();
        return Core.call(source::getReceivedDate);
    }

    /** The size the store gives the message, -1 when it gives none. */
    @Override
    public int getSize() throws MessagingException {
        checkLive();
        return source.getSize();
    }

    @Override
    public int getLineCount() throws MessagingException {
        checkLive();
        return -1;
    }

    // ---- Content: the MIME form of the stored data ------------------------------------

    /** The MIME form of the message ({@link MAPIMessage#toMimeContent()}), made once. */
    private MimeMessage rendered() throws MessagingException {
        markRead();
        synchronized (owner.mapiStore().nativeLock()) {
            synchronized (this) {
                if (rendered == null) {
                    rendered = Core.mimeForm(source, session);
                }
                return rendered;
            }
        }
    }

    /**
     * Reading the content marks the message read in a folder open read-write, as an IMAP
     * server does when a client fetches the body.
     */
    private void markRead() throws MessagingException {
        checkLive();
        synchronized (owner.mapiStore().nativeLock()) {
            synchronized (this) {
                if (!flags.contains(Flags.Flag.SEEN) && owner.getMode() == Folder.READ_WRITE) {
                    storeRead(true);
                    flags.add(Flags.Flag.SEEN);
                }
            }
        }
    }

    /** The content type of the message's MIME form. */
    @Override
    public String getContentType() throws MessagingException {
        return rendered().getContentType();
    }

    @Override
    public boolean isMimeType(String mimeType) throws MessagingException {
        return rendered().isMimeType(mimeType);
    }

    @Override
    public String getEncoding() throws MessagingException {
        return rendered().getEncoding();
    }

    /**
     * The content of the message's MIME form ({@link MAPIMessage#toMimeContent()}): the body
     * text of a message that has nothing else, else a {@link javax.mail.internet.MimeMultipart}
     * of {@link javax.mail.internet.MimeBodyPart}s as the message arrived (alternative,
     * related, mixed, signed), each text a String in its charset.
     */
    @Override
    public DataHandler getDataHandler() throws MessagingException {
        return rendered().getDataHandler();
    }

    @Override
    public Object getContent() throws IOException, MessagingException {
        return rendered().getContent();
    }

    @Override
    public InputStream getInputStream() throws IOException, MessagingException {
        return rendered().getInputStream();
    }

    @Override
    protected InputStream getContentStream() throws MessagingException {
        return new ByteArrayInputStream(body());
    }

    @Override
    public InputStream getRawInputStream() throws MessagingException {
        return getContentStream();
    }

    /** The encoded body of the MIME form, without its headers. */
    private byte[] body() throws MessagingException {
        MimeMessage form = rendered();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try {
            writeBody(form, out);
        } catch (IOException e) {
            throw new MessagingException("The message could not be written", e);
        }
        return out.toByteArray();
    }

    /** Writes the body of the MIME form: its headers all left out, the line that ends them too. */
    private static void writeBody(MimeMessage form, OutputStream out) throws IOException, MessagingException {
        List<String> names = new ArrayList<>();
        for (Enumeration<Header> e = form.getAllHeaders(); e.hasMoreElements();) {
            names.add(e.nextElement().getName());
        }
        ByteArrayOutputStream buffer = new ByteArrayOutputStream();
        form.writeTo(buffer, names.toArray(new String[0]));
        byte[] bytes = buffer.toByteArray();
        int skip = bytes.length >= 2 && bytes[0] == '\r' && bytes[1] == '\n' ? 2 : 0;
        out.write(bytes, skip, bytes.length - skip);
    }

    @Override
    public void writeTo(OutputStream out) throws IOException, MessagingException {
        writeTo(out, null);
    }

    /**
     * Writes the message as RFC 822 text: the headers as they arrived, with the Content-Type
     * and Content-Transfer-Encoding of the MIME form in place of the arrived ones, then its body.
     */
    @Override
    public void writeTo(OutputStream out, String[] ignoreList) throws IOException, MessagingException {
        MimeMessage form = rendered();
        loadHeaders();
        String type = form.getHeader("Content-Type", null);
        String encoding = form.getHeader("Content-Transfer-Encoding", null);
        StringBuilder head = new StringBuilder();
        boolean typeWritten = false;
        boolean encodingWritten = false;
        for (Enumeration<Header> e = headers.getAllHeaders(); e.hasMoreElements();) {
            Header h = e.nextElement();
            String name = h.getName();
            if (ignored(name, ignoreList)) {
                continue;
            }
            if (name.equalsIgnoreCase("Content-Type")) {
                if (!typeWritten && type != null) {
                    head.append("Content-Type: ").append(type).append("\r\n");
                }
                typeWritten = true;
            } else if (name.equalsIgnoreCase("Content-Transfer-Encoding")) {
                if (!encodingWritten && encoding != null) {
                    head.append("Content-Transfer-Encoding: ").append(encoding).append("\r\n");
                }
                encodingWritten = true;
            } else {
                head.append(name).append(':');
                String value = h.getValue();
                head.append(value.startsWith(" ") || value.startsWith("\t") ? "" : " ").append(value).append("\r\n");
            }
        }
        if (!typeWritten && type != null && !ignored("Content-Type", ignoreList)) {
            head.append("Content-Type: ").append(type).append("\r\n");
        }
        if (!encodingWritten && encoding != null && !ignored("Content-Transfer-Encoding", ignoreList)) {
            head.append("Content-Transfer-Encoding: ").append(encoding).append("\r\n");
        }
        head.append("\r\n");
        out.write(head.toString().getBytes(StandardCharsets.UTF_8));
        writeBody(form, out);
        out.flush();
    }

    private static boolean ignored(String name, String[] ignoreList) {
        if (ignoreList != null) {
            for (String ignore : ignoreList) {
                if (ignore.equalsIgnoreCase(name)) {
                    return true;
                }
            }
        }
        return false;
    }

    // ---- Flags -------------------------------------------------------------------------

    @Override
    public synchronized Flags getFlags() throws MessagingException {
        checkLive();
        return super.getFlags();
    }

    @Override
    public synchronized boolean isSet(Flags.Flag flag) throws MessagingException {
        checkLive();
        return super.isSet(flag);
    }

    /**
     * {@link Flags.Flag#DELETED} goes to the store; {@link Flags.Flag#SEEN} is stored as the
     * message's read state in a folder open read-write. Other flags live in this object.
     */
    @Override
    public void setFlags(Flags changed, boolean set) throws MessagingException {
        checkLive();
        synchronized (owner.mapiStore().nativeLock()) {
            synchronized (this) {
                if (changed.contains(Flags.Flag.DELETED)) {
                    // The natives let go of the content whenever the delete flag changes.
                    rendered = null;
                    Core.setDeleted(source, set);
                }
                if (changed.contains(Flags.Flag.SEEN) && flags.contains(Flags.Flag.SEEN) != set
                        && owner.getMode() == Folder.READ_WRITE) {
                    storeRead(set);
                }
                super.setFlags(changed, set);
            }
        }
    }

    /** Stores the read state; called with the store's lock held. */
    private void storeRead(boolean read) throws MessagingException {
        Core.run(lifetime::check);
        Core.run(() -> MAPINativeAttached.setMessageRead(source.getMessagePointer(), read));
    }

    // ---- Writes: a received message is read-only ----------------------------------------

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

    @Override
    public void addHeaderLine(String line) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void setDataHandler(DataHandler dh) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void saveChanges() throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }
}
