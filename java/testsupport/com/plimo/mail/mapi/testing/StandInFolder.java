package com.plimo.mail.mapi.testing;

import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.MethodNotSupportedException;

/**
 * An empty {@link Folder} for tests that call the natives directly: the natives only hand
 * the folder object on to the {@code MAPIMessage}s they build, so any folder will do.
 */
public class StandInFolder extends Folder {

    private final String name;
    private boolean open;

    public StandInFolder() {
        this("INBOX");
    }

    public StandInFolder(String name) {
        this(new StandInStore(), name);
    }

    StandInFolder(StandInStore store, String name) {
        super(store);
        this.name = name;
    }

    @Override
    public String getName() {
        return name;
    }

    @Override
    public String getFullName() {
        return name;
    }

    @Override
    public Folder getParent() {
        return null;
    }

    @Override
    public boolean exists() {
        return true;
    }

    @Override
    public Folder[] list(String pattern) {
        return new Folder[0];
    }

    @Override
    public char getSeparator() {
        return '/';
    }

    @Override
    public int getType() {
        return HOLDS_MESSAGES;
    }

    @Override
    public boolean create(int type) {
        return false;
    }

    @Override
    public boolean hasNewMessages() {
        return false;
    }

    @Override
    public Folder getFolder(String child) throws MessagingException {
        throw new MethodNotSupportedException("a stand-in folder has no subfolders");
    }

    @Override
    public boolean delete(boolean recurse) {
        return false;
    }

    @Override
    public boolean renameTo(Folder folder) {
        return false;
    }

    @Override
    public void open(int mode) {
        this.mode = mode;
        open = true;
    }

    @Override
    public void close(boolean expunge) {
        open = false;
    }

    @Override
    public boolean isOpen() {
        return open;
    }

    @Override
    public Flags getPermanentFlags() {
        return new Flags();
    }

    @Override
    public int getMessageCount() {
        return 0;
    }

    @Override
    public Message getMessage(int msgnum) {
        throw new IndexOutOfBoundsException("a stand-in folder holds no messages");
    }

    @Override
    public void appendMessages(Message[] msgs) throws MessagingException {
        throw new MethodNotSupportedException("a stand-in folder holds no messages");
    }

    @Override
    public Message[] expunge() {
        return new Message[0];
    }
}
