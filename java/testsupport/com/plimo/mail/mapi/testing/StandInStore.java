package com.plimo.mail.mapi.testing;

import java.util.Properties;
import javax.mail.Folder;
import javax.mail.Session;
import javax.mail.Store;
import javax.mail.URLName;

/** A store with nothing in it, so that {@link StandInFolder} has the store javax.mail requires. */
public final class StandInStore extends Store {

    public StandInStore() {
        super(Session.getInstance(new Properties()), new URLName("mapi-test", null, -1, null, null, null));
    }

    @Override
    public Folder getDefaultFolder() {
        return new StandInFolder(this, "");
    }

    @Override
    public Folder getFolder(String name) {
        return new StandInFolder(this, name);
    }

    @Override
    public Folder getFolder(URLName url) {
        return new StandInFolder(this, url.getFile());
    }
}
