package com.plimo.mail.mapi;

import com.plimo.mail.mapi.testing.StandInFolder;

/** A folder whose messages live under a lifetime, as the provider's folders do. */
class OwnedFolder extends StandInFolder implements NativeLifetime.Owner {

    final NativeLifetime store = new NativeLifetime(null, "The store of this message is closed");
    final NativeLifetime inbox = new NativeLifetime(store, "The folder of this message is closed");

    @Override
    public NativeLifetime nativeLifetime() {
        return inbox;
    }
}
