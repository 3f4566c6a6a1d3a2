package com.plimo.mail.mapi;

import java.io.OutputStream;
import javax.mail.BodyPart;
import javax.mail.IllegalWriteException;
import javax.mail.MessagingException;
import javax.mail.MethodNotSupportedException;
import javax.mail.Multipart;

/**
 * The content of a received MAPI message as a flat list of parts, in the store's order:
 * the HTML body, the plain-text body (or, for a non-delivery report, a generated
 * explanation), then one part per attachment.
 *
 * <p>The native side builds this object from {@link MAPINative#getMessageContent}. Parts
 * are fetched on first use and kept. The handle belongs to the message's native content,
 * which the store discards when the message's delete flag changes (through
 * {@link MAPIMessage#setFlags} or {@link MAPINative#setMessageDeleteFlag}) or its folder or
 * store is closed; after that this object and its parts refuse further native calls with a
 * {@link MessagingException} instead of using a dead handle.
 */
public class MAPIMultipart extends Multipart {

    private static final String READ_ONLY = "MAPI message content is read-only";

    private final long multipartPointer;
    private final MAPIMessage message;

    /** The parts fetched so far, by index; null until the count is known. */
    private MAPIBodyPart[] cache;
    private boolean discarded;

    public MAPIMultipart(long multipartPointer, MAPIMessage message) {
        this.multipartPointer = multipartPointer;
        this.message = message;
        this.parent = message;
        this.contentType = "multipart/mixed";
    }

    public long getMultipartPointer() {
        return multipartPointer;
    }

    /** The message whose content this is. */
    public MAPIMessage getMessage() {
        return message;
    }

    @Override
    public int getCount() throws MessagingException {
        synchronized (nativeLock()) {
            synchronized (this) {
                return parts().length;
            }
        }
    }

    /**
     * The part at a 0-based index; the same object on every call.
     *
     * @throws IndexOutOfBoundsException for an index outside 0 to {@code getCount() - 1}
     */
    @Override
    public BodyPart getBodyPart(int index) throws MessagingException {
        synchronized (nativeLock()) {
            synchronized (this) {
                return bodyPart(index);
            }
        }
    }

    /** The lock of the native calls: the message's (its store's), else this multipart. */
    Object nativeLock() {
        return message != null ? message.nativeLock() : this;
    }

    private BodyPart bodyPart(int index) throws MessagingException {
        MAPIBodyPart[] parts = parts();
        if (index < 0 || index >= parts.length) {
            throw new IndexOutOfBoundsException("No body part " + index + " in " + parts.length);
        }
        if (parts[index] == null) {
            checkUsable();
            MAPIBodyPart part = loadBodyPart(index);
            if (part == null) {
                throw new MessagingException("Body part " + index + " is not available");
            }
            part.setIndex(index);
            parts[index] = part;
        }
        return parts[index];
    }

    private MAPIBodyPart[] parts() throws MessagingException {
        if (cache == null) {
            checkUsable();
            int count = loadCount();
            if (count < 0) {
                throw new MessagingException("Invalid body part count " + count);
            }
            cache = new MAPIBodyPart[count];
        }
        return cache;
    }

    /** Asks the store for the number of parts; called once. */
    protected int loadCount() throws MessagingException {
        return MAPINative.getMultipartCount(multipartPointer);
    }

    /** Asks the store for one part; called once per index, always within the count. */
    protected MAPIBodyPart loadBodyPart(int index) throws MessagingException {
        return MAPINative.getMultipartBodypart(multipartPointer, this, index);
    }

    /** The store discarded the native content: no more native calls through this object. */
    synchronized void discard() {
        discarded = true;
    }

    synchronized boolean isDiscarded() {
        return discarded;
    }

    /**
     * Throws when the native content is gone: discarded with a delete-flag change, or with
     * the message's folder or store (which say so first).
     */
    void checkUsable() throws MessagingException {
        if (message != null) {
            message.checkUsable();
        }
        if (isDiscarded()) {
            throw new MessagingException(
                    "The message's content was discarded when its delete flag changed; fetch it again");
        }
    }

    /** MAPI content has no MIME form to write. */
    @Override
    public void writeTo(OutputStream out) throws MessagingException {
        throw new MethodNotSupportedException("MAPI message content cannot be written as MIME");
    }

    @Override
    public void addBodyPart(BodyPart part) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void addBodyPart(BodyPart part, int index) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public boolean removeBodyPart(BodyPart part) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }

    @Override
    public void removeBodyPart(int index) throws MessagingException {
        throw new IllegalWriteException(READ_ONLY);
    }
}
