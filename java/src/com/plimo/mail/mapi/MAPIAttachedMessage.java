package com.plimo.mail.mapi;

import javax.mail.Flags;
import javax.mail.IllegalWriteException;
import javax.mail.MessagingException;
import javax.mail.Session;

/**
 * A message attached to a received message: the content of a "message/rfc822"
 * {@link MAPIBodyPart}. It reads like any message of the folder (headers, dates, bodies,
 * parts and attachments, its own attached messages as further {@code MAPIAttachedMessage}s)
 * through the same natives, on a handle that {@link MAPINativeAttached#openAttachedMessage}
 * gives.
 *
 * <p>As a message nested in another, it has no folder and no number
 * ({@link #getFolder()} is null, {@link #getMessageNumber()} 0, as for JavaMail's own
 * attached messages) and cannot be deleted. It lives as long as the content of the
 * message that holds it: that content's release (a change of the outer message's delete
 * flag, or the folder letting go of an unreachable message) and the close of the folder or
 * store close it too, and every read after that throws a {@link MessagingException}
 * ("The folder of this message is closed", ...). Its native calls hold the same lock as
 * those of the outer message.
 */
public class MAPIAttachedMessage extends MAPIMessage {

    private final MAPIBodyPart part;

    /**
     * Opens the attached message of {@code part}, part {@code index} of its content.
     * Called by {@link MAPIBodyPart} with the native lock held.
     */
    static MAPIAttachedMessage open(MAPIBodyPart part, MAPIMultipart multipart, int index, Session session)
            throws MessagingException {
        MAPIAttachedMessage message = new MAPIAttachedMessage(part, session);
        MAPINativeAttached.openAttachedMessage(multipart.getMultipartPointer(), index, message);
        if (message.getMessagePointer() == 0) {
            throw new MessagingException("The attached message could not be opened");
        }
        return message;
    }

    private MAPIAttachedMessage(MAPIBodyPart part, Session session) {
        super(null, 0);
        this.part = part;
        this.session = session;
    }

    /** The part of the outer message whose content this message is. */
    public MAPIBodyPart getPart() {
        return part;
    }

    /** The outer message's lock: an attached message belongs to it. */
    @Override
    Object nativeLock() {
        return part.nativeLock();
    }

    /** Usable while the content of the message that holds it is. */
    @Override
    void checkUsable() throws MessagingException {
        part.checkUsable();
    }

    /** Nothing to let go of apart from the outer message's content, which holds this message. */
    @Override
    public Runnable contentReleaser() {
        return () -> { };
    }

    /** {@link Flags.Flag#DELETED} cannot be set: the message is part of another. Other flags live here only. */
    @Override
    public void setFlags(Flags changed, boolean set) throws MessagingException {
        if (changed.contains(Flags.Flag.DELETED)) {
            throw new IllegalWriteException("An attached message is part of its message and cannot be deleted");
        }
        super.setFlags(changed, set);
    }
}
