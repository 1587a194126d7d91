// The companion page: the figure on the desktop, the diary panel and the sync controls.
// The app drives it through the window.quillo* functions and hears back only through the
// "companion" message handler.
(() => {
    'use strict';

    const WALK_MS = 1550;
    const ABSORB_MS = 950;
    const FRESH_MS = 2400;
    const SYNCED_DOT_MS = 4000;
    const DRAG_THRESHOLD_PX = 3;
    // The app resizes the window without telling the page (for example from its tray menu), so
    // a change of the viewport between its two sizes is also read as the state.
    const EXPANDED_MIN_PX = 200;
    const COLLAPSED_MAX_PX = 120;

    const STATUSES = new Set(['connected', 'disconnected', 'syncing', 'synced', 'error']);
    const TEXT = {
        title: '今天',
        source: '本地记忆',
        connectedMessage: '已连接 Quillo',
        disconnectedMessage: '连接后可跨设备查看',
        syncNow: '立即同步',
        syncing: '同步中…',
        emptySection: '暂时还没有内容',
    };

    const root = document.documentElement;
    const $ = (id) => document.getElementById(id);
    const el = {
        collapsedView: $('collapsed-view'),
        figure: $('figure'),
        panel: $('panel'),
        header: $('card-header'),
        avatar: $('avatar'),
        title: $('diary-title'),
        source: $('diary-source'),
        calendar: $('open-calendar'),
        collapse: $('collapse'),
        scroll: $('diary-scroll'),
        diary: $('diary'),
        empty: $('empty'),
        emptyFigure: $('empty-figure'),
        sync: $('sync'),
        syncMessage: $('sync-message'),
        connectedActions: $('connected-actions'),
        setupActions: $('setup-actions'),
        syncNow: $('sync-now'),
        disconnect: $('disconnect'),
        connect: $('connect'),
        tokenForm: $('token-form'),
        tokenInput: $('token-input'),
        pasteToken: $('paste-token'),
        saveToken: $('save-token'),
    };

    // --- Messages to the app -------------------------------------------------------------

    function post(type, fields) {
        const body = Object.assign({ type }, fields);
        const handler = window.webkit?.messageHandlers?.companion;
        if (handler) {
            handler.postMessage(body);
        } else {
            // In a plain browser during development there is no app to hear the message.
            console.debug('companion message', body);
        }
    }

    // --- One-shot effects ----------------------------------------------------------------

    // Restarts a class-driven CSS animation and takes the classes away again when its time is
    // up, so that nothing keeps the page painting once the effect is over. Effects are told
    // apart by their first class: a walk and an absorb on the figure keep their own timers.
    const effectTimers = new WeakMap();
    function playEffect(element, classes, durationMs) {
        const list = Array.isArray(classes) ? classes : [classes];
        let timers = effectTimers.get(element);
        if (!timers) effectTimers.set(element, (timers = new Map()));
        const key = list[0];
        clearTimeout(timers.get(key));
        element.classList.remove(...list);
        void element.getBoundingClientRect();
        element.classList.add(...list);
        timers.set(key, setTimeout(() => {
            element.classList.remove(...list);
            timers.delete(key);
        }, durationMs));
    }

    // --- Expanded and collapsed ----------------------------------------------------------

    let expanded = false;

    function showExpanded(value) {
        value = value === true;
        if (value === expanded) return;
        expanded = value;
        root.classList.toggle('is-expanded', value);
        el.panel.hidden = !value;
        el.collapsedView.hidden = value;
        if (value) {
            playEffect(el.panel, 'is-entering', 220);
        } else {
            const focused = document.activeElement;
            if (focused && el.panel.contains(focused)) focused.blur();
        }
    }

    function requestExpanded(value) {
        showExpanded(value);
        post('expanded', { value });
    }

    // Only a crossing from one size class to the other counts: when the page collapses itself,
    // the window is still large for the length of its shrinking animation, and that must not
    // read as a request to expand again.
    function viewportClass() {
        const w = window.innerWidth;
        const h = window.innerHeight;
        if (w >= EXPANDED_MIN_PX && h >= EXPANDED_MIN_PX) return 'large';
        if (w <= COLLAPSED_MAX_PX || h <= COLLAPSED_MAX_PX) return 'small';
        return 'between';
    }

    let lastViewportClass = null;
    function followViewport() {
        const size = viewportClass();
        if (size === 'between' || size === lastViewportClass) return;
        lastViewportClass = size;
        showExpanded(size === 'large');
    }

    function resetScroll() {
        el.scroll.scrollTop = 0;
        if (document.scrollingElement) document.scrollingElement.scrollTop = 0;
    }

    // --- Dragging ------------------------------------------------------------------------

    // A press that moves more than a few pixels drags the window instead of clicking. The drag
    // starts from the press position, so the window makes up the threshold distance at once and
    // stays under the pointer.
    function makeWindowDragger(area, excluded) {
        let press = null;
        let swallowClick = false;

        area.addEventListener('pointerdown', (event) => {
            swallowClick = false;
            if (event.button !== 0 || !event.isPrimary) return;
            if (excluded && event.target.closest(excluded)) return;
            press = { id: event.pointerId, x: event.screenX, y: event.screenY, dragging: false };
            try {
                area.setPointerCapture(event.pointerId);
            } catch {
                // Synthetic events carry pointers the engine does not know; they need no capture.
            }
        });

        area.addEventListener('pointermove', (event) => {
            if (!press || event.pointerId !== press.id) return;
            if (!press.dragging) {
                const distance = Math.hypot(event.screenX - press.x, event.screenY - press.y);
                if (distance <= DRAG_THRESHOLD_PX) return;
                press.dragging = true;
                root.classList.add('is-dragging');
                post('dragStart', { screenX: press.x, screenY: press.y });
            }
            post('dragMove', { screenX: event.screenX, screenY: event.screenY });
        });

        const finish = (event) => {
            if (!press || event.pointerId !== press.id) return;
            const dragged = press.dragging;
            press = null;
            if (!dragged) return;
            swallowClick = true;
            root.classList.remove('is-dragging');
            post('dragEnd');
        };
        area.addEventListener('pointerup', finish);
        area.addEventListener('pointercancel', finish);
        area.addEventListener('lostpointercapture', finish);

        // The click that ends a drag is not a click.
        return (event) => {
            if (swallowClick) {
                swallowClick = false;
                event.preventDefault();
                return false;
            }
            return true;
        };
    }

    const figureClickAllowed = makeWindowDragger(el.figure, null);
    el.figure.addEventListener('click', (event) => {
        if (figureClickAllowed(event)) requestExpanded(true);
    });
    el.figure.addEventListener('keydown', (event) => {
        if (event.key === 'Enter' || event.key === ' ') {
            event.preventDefault();
            requestExpanded(true);
        }
    });
    el.figure.addEventListener('dragstart', (event) => event.preventDefault());

    const headerClickAllowed = makeWindowDragger(el.header, 'button, input, a');
    el.header.addEventListener('click', headerClickAllowed, true);

    el.collapse.addEventListener('click', () => requestExpanded(false));
    el.calendar.addEventListener('click', () => post('openCalendar'));

    document.addEventListener('keydown', (event) => {
        if (event.key === 'Escape' && expanded) {
            event.preventDefault();
            requestExpanded(false);
        }
    });

    // --- The figure ----------------------------------------------------------------------

    function walk(direction) {
        const d = Number(direction);
        if (!Number.isFinite(d) || d === 0) return;
        el.figure.classList.remove('walk-left', 'walk-right');
        playEffect(el.figure, ['is-walking', d > 0 ? 'walk-right' : 'walk-left'], WALK_MS);
    }

    function absorb() {
        playEffect(el.figure, 'is-absorbing', ABSORB_MS);
        playEffect(el.avatar, 'is-absorbing', ABSORB_MS);
        markFreshPoints();
    }

    // The header avatar and the empty state reuse the figure's drawing, so there is one
    // character to keep in shape.
    function cloneFigure(into, extraClass) {
        const svg = el.figure.querySelector('svg.quillo').cloneNode(true);
        svg.querySelector('.q-status')?.remove();
        if (extraClass) svg.classList.add(extraClass);
        into.appendChild(svg);
    }

    // --- Diary ---------------------------------------------------------------------------

    const markdown = (() => {
        if (typeof window.markdownit !== 'function') return null;
        // Raw HTML stays text: whatever an agent writes into a diary must never become markup.
        const md = window.markdownit({ html: false, linkify: true, typographer: false });
        // Pictures could only come from the network, which the page never reaches.
        md.disable('image');
        return md;
    })();

    let shownContent = null;
    let pendingFresh = [];

    function pointTexts() {
        return new Set(Array.from(el.diary.querySelectorAll('li'), (li) => li.textContent));
    }

    function render(content) {
        if (markdown) {
            el.diary.innerHTML = markdown.render(content);
        } else {
            // Without the renderer the diary still reads, as plain text.
            el.diary.textContent = content;
            el.diary.classList.add('is-plain');
        }
        const hasBody = Array.from(el.diary.children).some((child) => !/^H[1-6]$/.test(child.tagName));
        if (hasBody) {
            for (const heading of el.diary.querySelectorAll(':scope > h2')) {
                const next = heading.nextElementSibling;
                if (!next || next.tagName === 'H2') {
                    const note = document.createElement('p');
                    note.className = 'section-empty';
                    note.textContent = TEXT.emptySection;
                    heading.after(note);
                }
            }
        }
        return hasBody || (!markdown && content.trim() !== '');
    }

    function setDiary(diary) {
        if (!diary || typeof diary !== 'object') return;
        const title = typeof diary.title === 'string' && diary.title ? diary.title : TEXT.title;
        const source = typeof diary.source === 'string' && diary.source ? diary.source : TEXT.source;
        el.title.textContent = title;
        el.source.textContent = source;
        el.source.title = source;

        const content = typeof diary.content === 'string' ? diary.content : '';
        if (content === shownContent) return;
        const before = shownContent === null ? null : pointTexts();
        shownContent = content;
        const hasBody = render(content);
        el.diary.hidden = !hasBody;
        el.empty.hidden = hasBody;
        pendingFresh = before
            ? Array.from(el.diary.querySelectorAll('li')).filter((li) => !before.has(li.textContent))
            : [];
    }

    // Points that arrived with the latest change glow once when the figure takes them in.
    function markFreshPoints() {
        for (const li of pendingFresh) {
            if (li.isConnected) playEffect(li, 'is-fresh', FRESH_MS);
        }
        pendingFresh = [];
    }

    // --- Sync ----------------------------------------------------------------------------

    let syncedTimer = 0;

    function setSyncState(state) {
        if (!state || typeof state !== 'object') return;
        const connected = state.connected === true;
        const status = STATUSES.has(state.status)
            ? state.status
            : connected ? 'connected' : 'disconnected';
        const message = typeof state.message === 'string' && state.message
            ? state.message
            : connected ? TEXT.connectedMessage : TEXT.disconnectedMessage;

        const wasConnected = el.sync.dataset.connected === 'true';
        el.sync.dataset.status = status;
        el.sync.dataset.connected = String(connected);
        el.syncMessage.textContent = message;

        el.connectedActions.hidden = !connected;
        el.setupActions.hidden = connected;
        el.tokenForm.hidden = connected;
        el.syncNow.disabled = status === 'syncing';
        el.syncNow.textContent = status === 'syncing' ? TEXT.syncing : TEXT.syncNow;
        // Once the token is stored it has no business staying in the page.
        if (connected && !wasConnected) {
            el.tokenInput.value = '';
            updateSaveButton();
        }

        clearTimeout(syncedTimer);
        el.figure.classList.remove('sync-syncing', 'sync-error', 'sync-synced');
        if (status === 'syncing' || status === 'error') {
            el.figure.classList.add(`sync-${status}`);
        } else if (status === 'synced') {
            el.figure.classList.add('sync-synced');
            syncedTimer = setTimeout(() => el.figure.classList.remove('sync-synced'), SYNCED_DOT_MS);
        }
    }

    function setSyncToken(offer) {
        if (!offer || typeof offer !== 'object') return;
        el.tokenInput.value = typeof offer.token === 'string' ? offer.token : '';
        updateSaveButton();
        if (el.tokenInput.value) playEffect(el.tokenInput, 'is-filled', 900);
    }

    function updateSaveButton() {
        el.saveToken.disabled = el.tokenInput.value.trim() === '';
    }

    el.tokenInput.addEventListener('input', updateSaveButton);
    el.tokenForm.addEventListener('submit', (event) => {
        event.preventDefault();
        const token = el.tokenInput.value.trim();
        if (token) post('saveSyncToken', { token });
    });
    el.pasteToken.addEventListener('click', () => post('pasteSyncToken'));
    el.connect.addEventListener('click', () => post('openSyncSetup'));
    el.syncNow.addEventListener('click', () => post('syncNow'));
    el.disconnect.addEventListener('click', () => post('disconnectSync'));

    // --- Start ---------------------------------------------------------------------------

    cloneFigure(el.avatar, 'is-avatar');
    cloneFigure(el.emptyFigure, 'is-resting');
    window.addEventListener('resize', followViewport);
    followViewport();

    window.quilloSetDiary = setDiary;
    window.quilloAbsorb = absorb;
    window.quilloSetSyncState = setSyncState;
    window.quilloSetSyncToken = setSyncToken;
    window.quilloWalk = walk;
    window.__quilloDebug = {
        resetScroll,
        setExpanded: (value) => showExpanded(value === true),
    };
})();
